// UniqueFd owns one file descriptor: a listening or connected socket, an
// eventfd, an epoll set, an open file. It closes the descriptor when it goes,
// so no path of a function can leak one and no two owners can close the same
// number twice. It moves and never copies; Release hands the number to a new
// owner. A failure code never travels in it: a function that can fail returns
// its outcome beside the descriptor.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd < 0 ? -1 : fd) {}
    ~UniqueFd() { Reset(); }

    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }

    // Gives up ownership without closing: the caller owns the number now.
    [[nodiscard]] int Release() { return std::exchange(fd_, -1); }

    // Closes what is held (if anything) and takes fd instead.
    void Reset(int fd = -1) {
        int old = std::exchange(fd_, fd < 0 ? -1 : fd);
        if (old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};
