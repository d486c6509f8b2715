#include "platform/ReplaceFile.h"

#include <cerrno>
#include <cstdio>

#include <atomic>

#include <fcntl.h>
#include <unistd.h>

#include "platform/UniqueFd.h"

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// A name beside path that no other writer of this process or another uses.
std::string TemporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

// Flushes the directory that holds path, so that the rename itself survives
// a crash. A directory that cannot be opened for that is no failure.
void SyncDirectoryOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.Get());
}

}  // namespace

bool ReplaceFile(const std::string& path, std::string_view bytes, mode_t mode) {
    std::string temporary = TemporaryName(path);
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd) return false;
    bool written = WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0;
    int saved = errno;
    written = ::close(fd.Release()) == 0 && written;
    if (written && std::rename(temporary.c_str(), path.c_str()) == 0) {
        SyncDirectoryOf(path);
        return true;
    }
    if (written) saved = errno;
    std::remove(temporary.c_str());
    errno = saved;
    return false;
}
