#include "platform/StartThread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <pthread.h>

struct ServiceThread::Completion {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;

    void Signal() {
        {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
        }
        ended.notify_all();
    }
};

namespace {

// Enough parked threads for a burst of sessions of every protocol; a quiet
// process lets them go soon after.
constexpr int kMaxParked = 64;
constexpr auto kParkedFor = std::chrono::seconds(10);

struct Job {
    std::function<void()> body;
    std::shared_ptr<ServiceThread::Completion> done;  // none for a detached start
    bool reusable = false;                            // a service-size thread
};

void Signal(const std::shared_ptr<ServiceThread::Completion>& done) {
    if (done) done->Signal();
}

struct Parking {
    std::mutex lock;
    std::condition_variable handed;
    std::deque<Job> jobs;  // handed over, not yet taken by a parked thread
    int parked = 0;        // parked threads no job has been handed to yet
};

// Never destroyed: parked threads may still wait on it while the process ends.
Parking& TheParking() {
    static Parking* parking = new Parking;
    return *parking;
}

// A finished thread parks for the next job; false when it should end
// instead. The owner of the finished job learns of its end only once the
// thread counts as parked, so that a start right after a join finds it.
bool ParkForNext(Job& job, const std::shared_ptr<ServiceThread::Completion>& finished) {
    Parking& p = TheParking();
    std::unique_lock<std::mutex> lock(p.lock);
    if (p.parked >= kMaxParked) {
        lock.unlock();
        Signal(finished);
        return false;
    }
    ++p.parked;
    Signal(finished);
    if (!p.handed.wait_for(lock, kParkedFor, [&] { return !p.jobs.empty(); })) {
        --p.parked;
        return false;
    }
    job = std::move(p.jobs.front());
    p.jobs.pop_front();
    return true;
}

bool HandToParked(Job& job) {
    Parking& p = TheParking();
    {
        std::lock_guard<std::mutex> lock(p.lock);
        if (p.parked == 0) return false;
        --p.parked;
        p.jobs.push_back(std::move(job));
    }
    p.handed.notify_one();
    return true;
}

void* RunJobs(void* arg) {
    std::unique_ptr<Job> first(static_cast<Job*>(arg));
    Job job = std::move(*first);
    first.reset();
    for (;;) {
        job.body();
        job.body = nullptr;  // what it holds goes before its owner hears of the end
        std::shared_ptr<ServiceThread::Completion> finished = std::move(job.done);
        if (!job.reusable) {
            Signal(finished);
            return nullptr;
        }
        if (!ParkForNext(job, finished)) return nullptr;
    }
}

bool CreateThread(Job job, std::size_t stackBytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ready = (stackBytes == 0 || pthread_attr_setstacksize(&attr, stackBytes) == 0) &&
                 pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0;
    auto* owned = new Job(std::move(job));
    pthread_t thread;
    bool started = ready && pthread_create(&thread, &attr, RunJobs, owned) == 0;
    pthread_attr_destroy(&attr);
    if (!started) delete owned;
    return started;
}

bool Run(std::function<void()> body, std::size_t stackBytes, std::shared_ptr<ServiceThread::Completion> done) {
    Job job{std::move(body), std::move(done), stackBytes == kServiceStackBytes};
    if (job.reusable && HandToParked(job)) return true;
    return CreateThread(std::move(job), stackBytes);
}

}  // namespace

bool StartThread(std::function<void()> body, std::size_t stackBytes) {
    return Run(std::move(body), stackBytes, nullptr);
}

bool ServiceThread::Start(std::function<void()> body, std::size_t stackBytes) {
    Join();
    auto done = std::make_shared<Completion>();
    if (!Run(std::move(body), stackBytes, done)) return false;
    done_ = std::move(done);
    return true;
}

void ServiceThread::Join() {
    if (!done_) return;
    std::unique_lock<std::mutex> lock(done_->lock);
    done_->ended.wait(lock, [this] { return done_->done; });
    lock.unlock();
    done_.reset();
}
