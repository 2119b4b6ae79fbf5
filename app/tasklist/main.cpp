// A small stand-in for the Windows "tasklist" program on Linux, enough for
// the client's running-copy check:
//   tasklist /NH /FO CSV /FI "IMAGENAME eq NAME" [/FI "USERNAME eq USER"] [/FI "SESSION eq N"]
// prints one CSV line per running process that matches every filter, read
// from /proc. As on Windows the names match without regard to case; a
// trailing ".exe" in NAME matches the Linux executable name, and is kept in
// the output; USER may carry a domain ("HOST\user"), which is ignored; a
// process's user is its real uid, its session the login session the kernel
// keeps for it (/proc/PID/sessionid).
#include <dirent.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace {

std::string executableName(const char* pid)
{
    char link[64];
    snprintf(link, sizeof(link), "/proc/%s/exe", pid);
    char target[4096];
    const ssize_t length = readlink(link, target, sizeof(target) - 1);
    if (length > 0) {
        target[length] = 0;
        std::string path(target);
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return path.substr(path.find_last_of('/') + 1);
    }
    // Processes of other users: the first word of the command line.
    char file[64];
    snprintf(file, sizeof(file), "/proc/%s/cmdline", pid);
    FILE* cmdline = fopen(file, "r");
    if (!cmdline)
        return std::string();
    char first[4096] = {0};
    const size_t read = fread(first, 1, sizeof(first) - 1, cmdline);
    fclose(cmdline);
    first[read < sizeof(first) ? read : sizeof(first) - 1] = 0;
    std::string path(first);
    return path.substr(path.find_last_of('/') + 1);
}

// The real uid from the "Uid:" line of /proc/PID/status, or -1.
long realUid(const char* pid)
{
    char file[64];
    snprintf(file, sizeof(file), "/proc/%s/status", pid);
    FILE* status = fopen(file, "r");
    if (!status)
        return -1;
    char line[256];
    long uid = -1;
    while (fgets(line, sizeof line, status)) {
        if (sscanf(line, "Uid: %ld", &uid) == 1)
            break;
    }
    fclose(status);
    return uid;
}

std::string sessionOf(const char* pid)
{
    char file[64];
    snprintf(file, sizeof(file), "/proc/%s/sessionid", pid);
    FILE* session = fopen(file, "r");
    if (!session)
        return std::string();
    char value[32] = {0};
    const bool read = fgets(value, sizeof value, session) != nullptr;
    fclose(session);
    return read ? std::string(value, strcspn(value, "\r\n")) : std::string();
}

std::string userName(long uid)
{
    const passwd* entry = getpwuid(uid_t(uid));
    return entry ? entry->pw_name : std::to_string(uid);
}

bool startsWith(const char* text, const char* prefix, const char** rest)
{
    if (strncasecmp(text, prefix, strlen(prefix)) != 0)
        return false;
    *rest = text + strlen(prefix);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    std::string image, user, session;
    bool filterUser = false, filterSession = false;
    for (int i = 1; i < argc; ++i) {
        if (strcasecmp(argv[i], "/FI") != 0 || i + 1 >= argc)
            continue;
        const char* value = nullptr;
        const char* filter = argv[++i];
        if (startsWith(filter, "IMAGENAME eq ", &value)) {
            image = value;
        } else if (startsWith(filter, "USERNAME eq ", &value)) {
            const char* backslash = strrchr(value, '\\');
            user = backslash ? backslash + 1 : value;
            filterUser = true;
        } else if (startsWith(filter, "SESSION eq ", &value)) {
            session = value;
            filterSession = true;
        }
    }
    std::string wanted = image;
    std::string suffix;
    if (wanted.size() > 4 && strcasecmp(wanted.c_str() + wanted.size() - 4, ".exe") == 0) {
        suffix = wanted.substr(wanted.size() - 4);
        wanted.resize(wanted.size() - 4);
    }

    int found = 0;
    DIR* proc = opendir("/proc");
    while (proc && !image.empty()) {
        dirent* entry = readdir(proc);
        if (!entry)
            break;
        if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name))
            continue;
        const std::string name = executableName(entry->d_name);
        if (name.empty() || strcasecmp(name.c_str(), wanted.c_str()) != 0)
            continue;
        const long uid = realUid(entry->d_name);
        if (filterUser && (uid < 0 || strcasecmp(userName(uid).c_str(), user.c_str()) != 0))
            continue;
        const std::string processSession = sessionOf(entry->d_name);
        if (filterSession && processSession != session)
            continue;
        printf("\"%s%s\",\"%s\",\"Console\",\"%s\",\"0 K\"\r\n", name.c_str(), suffix.c_str(), entry->d_name,
               processSession.empty() ? "0" : processSession.c_str());
        ++found;
    }
    if (proc)
        closedir(proc);
    if (!found)
        printf("INFO: No tasks are running which match the specified criteria.\r\n");
    return 0;
}
