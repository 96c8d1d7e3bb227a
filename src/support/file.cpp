#include "support/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

bool file_exists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

bool write_all(int fd, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool file_replace(const std::string& path, std::string_view text, int mode) {
    const std::string tmp = path + "." + std::to_string(static_cast<long>(getpid())) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return false;
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    if (ok) err = errno;
    std::remove(tmp.c_str());
    errno = err;
    return false;
}
