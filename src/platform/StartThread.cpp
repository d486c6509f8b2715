#include "platform/StartThread.h"

#include <memory>

namespace {

void* RunBody(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

bool Create(pthread_t& thread, std::function<void()> body, std::size_t stackBytes, bool detached) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ready = (stackBytes == 0 || pthread_attr_setstacksize(&attr, stackBytes) == 0) &&
                 (!detached || pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0);
    auto* owned = new std::function<void()>(std::move(body));
    bool started = ready && pthread_create(&thread, &attr, RunBody, owned) == 0;
    pthread_attr_destroy(&attr);
    if (!started) delete owned;
    return started;
}

}  // namespace

bool StartThread(std::function<void()> body, std::size_t stackBytes) {
    pthread_t thread;
    return Create(thread, std::move(body), stackBytes, true);
}

bool ServiceThread::Start(std::function<void()> body, std::size_t stackBytes) {
    Join();
    started_ = Create(thread_, std::move(body), stackBytes, false);
    return started_;
}

void ServiceThread::Join() {
    if (!started_) return;
    pthread_join(thread_, nullptr);
    started_ = false;
}
