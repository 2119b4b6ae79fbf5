// Every native method of the library, in registration order:
// NATIVE(class, method, JNI signature, bytes of arguments, registered)
// The bytes give the 32-bit __stdcall decoration: 8 for the JNIEnv* and the
// class, 4 per int, boolean or reference, 8 per long. One method is exported
// but not registered (bound by symbol lookup only).
// Used for the registration tables and to generate the export list.

#define OSTRA_CLASS_PREFIX "com/ostrakit/runtime/installer/platform/win32/"

#define OSTRA_NATIVE_TABLE(NATIVE) \
    NATIVE(ACLHandling, addACE, "(Ljava/lang/String;ZZZZZILjava/lang/String;)Z", 40, 1) \
    NATIVE(FileVersion, compare0, "(Ljava/lang/String;Ljava/lang/String;)I", 16, 1) \
    NATIVE(FolderInfo, getSpecialFolder0, "(IZ)Ljava/lang/String;", 16, 1) \
    NATIVE(FolderInfo, getPathFromRegistry0, "(Ljava/lang/String;)Ljava/lang/String;", 12, 1) \
    NATIVE(FolderInfo, getWindowsDirectory0, "()Ljava/lang/String;", 8, 1) \
    NATIVE(FolderInfo, getSystemDirectory0, "()Ljava/lang/String;", 8, 1) \
    NATIVE(FolderInfo, getDriveType0, "(Ljava/lang/String;)I", 12, 1) \
    NATIVE(FolderInfo, getShortPathName0, "(Ljava/lang/String;)Ljava/lang/String;", 12, 1) \
    NATIVE(FolderInfo, getDownloadsDirectory0, "()Ljava/lang/String;", 8, 1) \
    NATIVE(Misc, reboot0, "()V", 8, 1) \
    NATIVE(Misc, getRunningModules0, "(Z)[Ljava/lang/String;", 12, 1) \
    NATIVE(Misc, getEnvVarPairs0, "()[Ljava/lang/String;", 8, 1) \
    NATIVE(Misc, broadcastSettingChange0, "()V", 8, 1) \
    NATIVE(Misc, getPhysicalMemory0, "()J", 8, 1) \
    NATIVE(Misc, getFreeDiskSpace0, "(Ljava/lang/String;)J", 12, 1) \
    NATIVE(Misc, moveWithDelayUntilReboot0, "(Ljava/lang/String;Ljava/lang/String;)Z", 16, 1) \
    NATIVE(Misc, toFront0, "()V", 8, 1) \
    NATIVE(Misc, terminateProcesses0, "([IZI)I", 20, 1) \
    NATIVE(Misc, getWindowTitle0, "(I)Ljava/lang/String;", 12, 1) \
    NATIVE(Misc, launch0, "(Ljava/lang/String;Ljava/lang/String;)I", 16, 1) \
    NATIVE(ObjectPicker, show0, "(ZZZZZ)[Lcom/ostrakit/runtime/installer/platform/win32/ObjectPicker$Result;", 28, 1) \
    NATIVE(Registry, keyExists0, "(ILjava/lang/String;I)Z", 20, 1) \
    NATIVE(Registry, createKey0, "(ILjava/lang/String;I)Z", 20, 1) \
    NATIVE(Registry, getValue0, "(ILjava/lang/String;Ljava/lang/String;I)Ljava/lang/Object;", 24, 1) \
    NATIVE(Registry, setValue0, "(ILjava/lang/String;Ljava/lang/String;Ljava/lang/Object;II)Z", 32, 1) \
    NATIVE(Registry, deleteValue0, "(ILjava/lang/String;Ljava/lang/String;I)V", 24, 1) \
    NATIVE(Registry, deleteKey0, "(ILjava/lang/String;ZI)V", 24, 1) \
    NATIVE(Registry, saveKey0, "(ILjava/lang/String;Ljava/lang/String;I)Z", 24, 1) \
    NATIVE(Registry, restoreKey0, "(ILjava/lang/String;Ljava/lang/String;I)Z", 24, 1) \
    NATIVE(Registry, enumSubKeys0, "(ILjava/lang/String;I)[Ljava/lang/String;", 20, 1) \
    NATIVE(Registry, enumValues0, "(ILjava/lang/String;I)[Ljava/lang/String;", 20, 1) \
    NATIVE(Registry, changeNotifyAssociations0, "()V", 8, 1) \
    NATIVE(ShellLink, createWide0, "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ZLjava/lang/String;I)Z", 40, 1) \
    NATIVE(ShellLink, changeNotify0, "([B[B)Z", 16, 1) \
    NATIVE(ShellLink, initialize0, "()Z", 8, 1) \
    NATIVE(ShellLink, uninitialize, "()Z", 8, 1) \
    NATIVE(ShellLink, create0, "(Ljava/lang/String;[B[B[B[BZ[B)Z", 36, 0) \
    NATIVE(VistaFileChooser, initialize0, "()V", 8, 1) \
    NATIVE(VistaFileChooser, displayDialog0, "(JLjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;IIZLjava/lang/String;[Ljava/lang/String;[Ljava/lang/String;I[Ljava/lang/String;[Z)[Ljava/lang/String;", 68, 1) \
    NATIVE(VistaTaskDialog, show0, "(JLjava/lang/String;Ljava/lang/String;Ljava/lang/String;IIILjava/lang/String;[Ljava/lang/String;I)I", 52, 1) \
    NATIVE(Win32CommunicationBackend, getInvalidHandle0, "()J", 8, 1) \
    NATIVE(Win32CommunicationBackend, createListener0, "(Ljava/lang/String;)J", 12, 1) \
    NATIVE(Win32CommunicationBackend, readDataBlock0, "(J)[B", 16, 1) \
    NATIVE(Win32CommunicationBackend, writeDataBlock0, "(J[B)Z", 20, 1) \
    NATIVE(Win32CommunicationBackend, connectClient0, "(Ljava/lang/String;)J", 12, 1) \
    NATIVE(Win32CommunicationBackend, connectNamedPipe0, "(J)Z", 16, 1) \
    NATIVE(Win32CommunicationBackend, disconnectNamedPipe0, "(J)V", 16, 1) \
    NATIVE(Win32CommunicationBackend, closeHandle0, "(J)V", 16, 1) \
    NATIVE(Win32CommunicationBackend, isProcessAlive0, "(I)Z", 12, 1) \
    NATIVE(Win32CommunicationBackend, getCurrentProcessId0, "()I", 8, 1) \
    NATIVE(Win32Services, installService0, "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)I", 20, 1) \
    NATIVE(Win32Services, changeServiceConfig0, "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;IILjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)I", 44, 1) \
    NATIVE(Win32Services, setRestartServiceConfig0, "(Ljava/lang/String;ZI)I", 20, 1) \
    NATIVE(Win32Services, stopService0, "(Ljava/lang/String;)I", 12, 1) \
    NATIVE(Win32Services, startService0, "(Ljava/lang/String;)I", 12, 1) \
    NATIVE(Win32Services, uninstallService0, "(Ljava/lang/String;)I", 12, 1) \
    NATIVE(Win32Services, queryStatus0, "(Ljava/lang/String;)I", 12, 1) \
    NATIVE(Win32Services, getStartType0, "(Ljava/lang/String;)I", 12, 1) \
    NATIVE(Win32Services, getServiceBinary0, "(Ljava/lang/String;)Ljava/lang/String;", 12, 1) \
    NATIVE(Win32UserInfo, isMemberOfGroup0, "(I)Z", 12, 1) \
    NATIVE(Win32UserInfo, executeElevated0, "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)Z", 24, 1) \
    NATIVE(Win32UserInfo, getElevationType0, "()I", 8, 1) \
    NATIVE(Win32UserInfo, addUser0, "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ZZ)Ljava/lang/String;", 36, 1) \
    NATIVE(Win32UserInfo, deleteUser0, "(Ljava/lang/String;Ljava/lang/String;)I", 16, 1) \
    NATIVE(Win32UserInfo, deleteLocalGroup0, "(Ljava/lang/String;Ljava/lang/String;)I", 16, 1) \
    NATIVE(Win32UserInfo, getAccountName0, "(Ljava/lang/String;Z)Ljava/lang/String;", 16, 1) \
    NATIVE(Win32UserInfo, getUserProfileDirectory0, "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;", 16, 1) \
    NATIVE(Win32UserInfo, getUserSid0, "()Ljava/lang/String;", 8, 1) \
    NATIVE(Win32UserInfo, setLsaAccountRight0, "(Ljava/lang/String;Ljava/lang/String;Z)Z", 20, 1) \
    NATIVE(WinGuiHelper, getHwnd0, "(Ljava/lang/reflect/Method;Ljava/lang/Object;)J", 16, 1)

// The 13 classes in registration order.
#define OSTRA_CLASS_LIST(CLASS) \
    CLASS(ACLHandling) CLASS(FileVersion) CLASS(FolderInfo) CLASS(Misc) CLASS(ObjectPicker) CLASS(Registry) \
    CLASS(ShellLink) CLASS(VistaFileChooser) CLASS(VistaTaskDialog) CLASS(Win32CommunicationBackend) \
    CLASS(Win32Services) CLASS(Win32UserInfo) CLASS(WinGuiHelper)
