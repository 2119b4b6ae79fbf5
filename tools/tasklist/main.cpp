// A small stand-in for the Windows "tasklist" program on Linux, enough for
// the client's running-copy check:
//   tasklist /NH /FO CSV /FI "IMAGENAME eq NAME"
// prints one CSV line per running process of that image, read from /proc.
// As on Windows the name matches without regard to case; a trailing ".exe"
// in NAME matches the Linux executable name, and is kept in the output.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
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

} // namespace

int main(int argc, char* argv[])
{
    std::string image;
    for (int i = 1; i < argc; ++i) {
        if (strcasecmp(argv[i], "/FI") == 0 && i + 1 < argc) {
            const char* filter = argv[++i];
            const char* prefix = "IMAGENAME eq ";
            if (strncasecmp(filter, prefix, strlen(prefix)) == 0)
                image = filter + strlen(prefix);
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
        printf("\"%s%s\",\"%s\",\"Console\",\"1\",\"0 K\"\r\n", name.c_str(), suffix.c_str(), entry->d_name);
        ++found;
    }
    if (proc)
        closedir(proc);
    if (!found)
        printf("INFO: No tasks are running which match the specified criteria.\r\n");
    return 0;
}
