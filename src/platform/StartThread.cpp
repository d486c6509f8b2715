#include "platform/StartThread.h"

#include <system_error>
#include <thread>

bool StartThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
