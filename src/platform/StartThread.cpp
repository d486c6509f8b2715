#include "platform/StartThread.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>

#include <pthread.h>

#include "platform/Mutex.h"

struct ServiceThread::Completion {
    Mutex lock;
    std::condition_variable_any ended;
    bool done GUARDED_BY(lock) = false;

    void Signal() EXCLUDES(lock) {
        {
            MutexLock guard(lock);
            done = true;
        }
        ended.notify_all();
    }

    void Wait() EXCLUDES(lock) {
        MutexLock guard(lock);
        ended.wait(guard, [this] {
            lock.AssertHeld();
            return done;
        });
    }
};

namespace {

// Enough parked threads for a burst of sessions of every protocol; a quiet
// process lets them go soon after.
constexpr int kMaxParked = 64;
constexpr auto kParkedFor = std::chrono::seconds(10);
// With this many service threads at work, a new job first waits a moment
// for one of them to finish: a burst of short jobs (clients arriving
// together, each a connect and a handshake) then runs on a few threads
// instead of one each, whose stacks stay resident long after. A job that
// finds no thread free within the wait gets a thread of its own, so a few
// jobs stuck on a server that never answers hold no one else up for long.
constexpr int kBusyBeforeWaiting = 8;
constexpr auto kHandOverWait = std::chrono::milliseconds(20);

struct Job {
    std::function<void()> body;
    std::shared_ptr<ServiceThread::Completion> done;  // none for a detached start
    bool reusable = false;                            // a service-size thread
};

void Signal(const std::shared_ptr<ServiceThread::Completion>& done) {
    if (done) done->Signal();
}

struct WaitingJob {
    uint64_t ticket;
    Job job;
};

struct Parking {
    Mutex lock;
    std::condition_variable_any handed;
    std::deque<Job> jobs GUARDED_BY(lock);  // handed over, not yet taken by a parked thread
    int parked GUARDED_BY(lock) = 0;        // parked threads no job has been handed to yet
    int busy GUARDED_BY(lock) = 0;          // service-size threads running a job
    std::condition_variable_any taken;
    std::deque<WaitingJob> waiting GUARDED_BY(lock);  // for a busy thread to finish
    uint64_t lastTicket GUARDED_BY(lock) = 0;
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
    MutexLock lock(p.lock);
    --p.busy;
    if (!p.waiting.empty()) {
        job = std::move(p.waiting.front().job);
        p.waiting.pop_front();
        ++p.busy;
        lock.unlock();
        Signal(finished);
        p.taken.notify_all();
        return true;
    }
    if (p.parked >= kMaxParked) {
        lock.unlock();
        Signal(finished);
        return false;
    }
    ++p.parked;
    Signal(finished);
    if (!p.handed.wait_for(lock, kParkedFor, [&] {
            p.lock.AssertHeld();
            return !p.jobs.empty();
        })) {
        --p.parked;
        return false;
    }
    job = std::move(p.jobs.front());
    p.jobs.pop_front();
    return true;  // counted busy when it was handed over
}

bool StillWaiting(const Parking& p, uint64_t ticket) REQUIRES(p.lock) {
    for (const WaitingJob& w : p.waiting)
        if (w.ticket == ticket) return true;
    return false;
}

// True when a service thread that finished its job took this one; false,
// with the job back in hand, when none did in time or too few are busy.
bool HandToFinishing(Job& job) {
    Parking& p = TheParking();
    MutexLock lock(p.lock);
    if (p.busy < kBusyBeforeWaiting) return false;
    uint64_t ticket = ++p.lastTicket;
    p.waiting.push_back(WaitingJob{ticket, std::move(job)});
    if (p.taken.wait_for(lock, kHandOverWait, [&] {
            p.lock.AssertHeld();
            return !StillWaiting(p, ticket);
        }))
        return true;
    for (auto w = p.waiting.begin(); w != p.waiting.end(); ++w) {
        if (w->ticket != ticket) continue;
        job = std::move(w->job);
        p.waiting.erase(w);
        break;
    }
    return false;
}

bool HandToParked(Job& job) {
    Parking& p = TheParking();
    {
        MutexLock lock(p.lock);
        if (p.parked == 0) return false;
        --p.parked;
        ++p.busy;
        p.jobs.push_back(std::move(job));
    }
    p.handed.notify_one();
    return true;
}

void CountBusy(int change) {
    Parking& p = TheParking();
    MutexLock lock(p.lock);
    p.busy += change;
}

// A new thread takes the name of the thread that made it, which may be one
// that named itself for its work (the relay loop): a service thread goes by
// the program's name, as it would have done from the main thread.
void NameAfterProgram() {
    char name[16] = {};
    std::strncpy(name, program_invocation_short_name, sizeof name - 1);
    pthread_setname_np(pthread_self(), name);
}

void* RunJobs(void* arg) {
    NameAfterProgram();
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
    if (job.reusable && (HandToParked(job) || HandToFinishing(job))) return true;
    if (!job.reusable) return CreateThread(std::move(job), stackBytes);
    CountBusy(+1);
    if (CreateThread(std::move(job), stackBytes)) return true;
    CountBusy(-1);
    return false;
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
    done_->Wait();
    done_.reset();
}
