#include "proxy/RelayLoop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include <pthread.h>
#include <sys/epoll.h>

#include "core/WriteLog.h"
#include "platform/FreedMemory.h"
#include "platform/StartThread.h"
#include "proxy/DataTransmission.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/Reactor.h"
#include "proxy/TcpSocket.h"

namespace {

constexpr int kEventsPerWait = 64;
// How long the loop must have been quiet, after sessions came or went, before
// it hands the memory they freed back: long enough that a busy loop never
// does it, short enough that a burst of clients leaves no lasting trace.
constexpr auto kQuietBeforeTrim = std::chrono::milliseconds(500);

struct Session;

// One socket of a session as the loop polls it.
struct LoopEnd {
    Session* session;
    bool server;          // the upstream server's end, not the mail client's
    uint32_t events = 0;  // what it is polled for; none: not polled at all
};

TransmissionParam Direction(RelaySession& s, int32_t side) {
    if (side == CLIENT) return TransmissionParam{CLIENT, &s.client, s.clientTls, &s.server, s.serverTls};
    return TransmissionParam{SERVER, &s.server, s.serverTls, &s.client, s.clientTls};
}

int32_t QuietSeconds(const RelaySession& s, const RelayTimeouts& timeouts) {
    if (s.protocol < 0 || s.protocol >= kProtocolCount) return timeouts.quietSeconds[SMTP];
    return timeouts.quietSeconds[s.protocol];
}

struct Session {
    Session(std::unique_ptr<RelaySession> taken, const RelayTimeouts& timeouts)
        : ends(std::move(taken)),
          quiet(std::chrono::seconds(QuietSeconds(*ends, timeouts))),
          stall(std::chrono::seconds(timeouts.stallSeconds)),
          keepAlive(timeouts.keepAlive),
          lastActivity(MonotonicClock::now()) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Its client has no slot yet.
    bool Admitting() const { return ends && ends->admit != nullptr; }
    // Its client's TLS handshake is not done yet: no walk to a server yet.
    bool Greeting() const { return ends && ends->clientTls && !greeted; }
    // Still choosing its server: no relays yet.
    bool Choosing() const { return !toServer; }

    std::unique_ptr<RelaySession> ends;
    std::optional<DataTransmission> toServer;  // reads the mail client
    std::optional<DataTransmission> toClient;  // reads the upstream server
    LoopEnd clientEnd{this, false};
    LoopEnd serverEnd{this, true};
    // What the sockets of the walk's attempts are polled for, by slot.
    uint32_t attemptEvents[kAttemptsInFlight] = {};
    MonotonicClock::duration quiet;  // its protocol's quiet limit; 0: none
    MonotonicClock::duration stall;  // the bound of a held chunk that does not move; 0: none
    KeepAlive keepAlive;
    MonotonicClock::time_point lastActivity;
    bool greeted = false;
    MonotonicClock::time_point greetBy = kNoDeadline;  // the bound of the client's handshake
    uint64_t id = 0;
    // When the session's one timer in the heap is due; any other timer of
    // the session there is stale.
    MonotonicClock::time_point timerDue = kNoDeadline;
    bool over = false;
};

// An event's token: the session's number, then which of its sockets.
constexpr int kEndBits = 3;
constexpr uint64_t kClientEnd = 0;
constexpr uint64_t kServerEnd = 1;
constexpr uint64_t kFirstAttempt = 2;  // then one per slot of the walk
static_assert(kFirstAttempt + kAttemptsInFlight <= (1u << kEndBits), "the ends fit their bits");

uint64_t EventOf(const Session& s, const LoopEnd& end) {
    return s.id << kEndBits | (end.server ? kServerEnd : kClientEnd);
}

// A host name the resolver answered for, off the loop's thread.
struct Answer {
    uint64_t session;
    bool found;
    in_addr address;
};

// What other threads hand the loop: a new session, or a resolver's answer.
using Incoming = std::variant<std::unique_ptr<Session>, Answer>;

// Besides the wake-up, an event names one end of a session by the session's
// number, which is never reused (and never the wake-up's). An event of an
// end whose session is gone finds nothing, so a socket that some other
// holder of its file keeps in the poll set after the session closed it is
// harmless.
static_assert(Reactor::kWakeToken == 0, "session numbers start at 1");

// A read also hears of the peer's end, so that the end can go out with the
// last data.
uint32_t EventsFor(SocketWait wait) {
    if (wait == SocketWait::Readable) return EPOLLIN | EPOLLRDHUP;
    if (wait == SocketWait::Writable) return EPOLLOUT;
    return 0;
}

bool Failed(RelayTurn turn) {
    return turn == RelayTurn::SourceFailed || turn == RelayTurn::DestinationFailed;
}

}  // namespace

struct RelayLoop::Loop {
    Loop() = default;
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    ~Loop();

    void Run();
    void Handle(const epoll_event& event, MonotonicClock::time_point now);
    void TakeIncoming();
    void Register(std::unique_ptr<Session> session);
    bool Admit(Session& s, AdmitTry when);
    void AdmitWaiting(MonotonicClock::time_point now);
    void Begin(Session& s, MonotonicClock::time_point now);
    void StartGreeting(Session& s, MonotonicClock::time_point now);
    void Greet(Session& s, MonotonicClock::time_point now);
    void GreetingFailed(Session& s, int32_t code);
    void Forget(Session& s);
    void Choose(Session& s, ChoiceStep step, MonotonicClock::time_point now);
    bool Resolve(Session& s, const std::string& host);
    void Answered(const Answer& answer);
    void StartRelays(Session& s, MonotonicClock::time_point now);
    void GiveUp(Session& s);
    void Arm(Session& s, MonotonicClock::time_point when);
    void Serve(LoopEnd& end, uint32_t events, MonotonicClock::time_point now);
    void Settle(Session& s, RelayTurn a, RelayTurn b);
    bool Poll(Session& s, LoopEnd& end, uint32_t events);
    MonotonicClock::time_point Deadline(const Session& s) const;
    void Expire(MonotonicClock::time_point now);
    void TimeOut(Session& s, MonotonicClock::time_point now);
    void End(Session& s);
    bool Current(const Reactor::Timer& timer) const;
    int WaitMillis(MonotonicClock::time_point now) const;

    Reactor reactor;
    // Sessions added and answers resolved, not yet taken; the resolutions
    // under way are promised.
    Handoff<Incoming> inbox{reactor};
    std::atomic<bool> stop{false};
    ServiceThread thread;
    // The rest belongs to the loop's thread alone.
    std::unordered_map<uint64_t, std::unique_ptr<Session>> sessions;
    std::vector<uint64_t> admitting;              // sessions whose clients wait for a slot
    std::vector<std::unique_ptr<Session>> ended;  // freed once the events at hand are handled
    std::unique_ptr<char[]> chunk{new char[kRelayBufferSize]};
    uint64_t lastId = 0;
    bool trimDue = false;  // sessions came or went since the last trim
};

RelayLoop::Loop::~Loop() {
    stop = true;
    reactor.Wake();
    thread.Join();
    // A resolution under way still posts its answer here; the resolver's own
    // time-outs bound the wait.
    inbox.AwaitPromised();
    // Whatever is still running is cut; its client processes' callers wait
    // for that.
    TakeIncoming();
    while (!sessions.empty()) End(*sessions.begin()->second);
    ended.clear();
}

// A loop that is going cuts the sessions that come and takes no answer.
void RelayLoop::Loop::TakeIncoming() {
    for (Incoming& item : inbox.TakeAll()) {
        if (auto* session = std::get_if<std::unique_ptr<Session>>(&item))
            Register(std::move(*session));
        else if (!stop)
            Answered(std::get<Answer>(item));
    }
}

void RelayLoop::Loop::Register(std::unique_ptr<Session> session) {
    Session& s = *session;
    s.id = ++lastId;
    trimDue = true;
    sessions.emplace(s.id, std::move(session));
    if (stop) {
        End(s);
        return;
    }
    if (s.Admitting() && !Admit(s, AdmitTry::Arrival)) {
        if (s.over) return;
        admitting.push_back(s.id);
        Arm(s, s.ends->admitBy);
        return;
    }
    Begin(s, MonotonicClock::now());
}

// True once the session's client holds a slot. A client whose row is full
// waits while a slot is about to be freed, which is the loop's own doing:
// it is asked again after each round of events, not woken for.
bool RelayLoop::Loop::Admit(Session& s, AdmitTry when) {
    RelaySession& r = *s.ends;
    Admission answer = r.admit(r, when);
    if (answer == Admission::Waiting && when != AdmitTry::Last) return false;
    r.admit = nullptr;
    if (answer == Admission::Admitted) {
        // Its wait's timer goes stale; the walk arms its own.
        s.timerDue = kNoDeadline;
        return true;
    }
    Forget(s);
    return false;
}

void RelayLoop::Loop::AdmitWaiting(MonotonicClock::time_point now) {
    if (admitting.empty()) return;
    std::vector<uint64_t> asked;
    asked.swap(admitting);
    for (uint64_t id : asked) {
        auto found = sessions.find(id);
        if (found == sessions.end()) continue;
        Session& s = *found->second;
        if (s.over || !s.Admitting()) continue;
        if (Admit(s, AdmitTry::Round))
            Begin(s, now);
        else if (!s.over)
            admitting.push_back(id);
    }
}

void RelayLoop::Loop::Begin(Session& s, MonotonicClock::time_point now) {
    if (s.Greeting()) {
        StartGreeting(s, now);
        return;
    }
    if (!s.ends->choice) {
        StartRelays(s, now);
        return;
    }
    Session* polled = &s;
    s.ends->choice->PollWith([this, polled](size_t slot, int fd, SocketWait wait) {
        return reactor.Watch(fd, polled->attemptEvents[slot], EventsFor(wait),
                             polled->id << kEndBits | (kFirstAttempt + slot));
    });
    Choose(s, s.ends->choice->Start(now), now);
}

// The client's handshake comes before any server is tried: a client that
// never finishes it costs no upstream connection. It has the bound of an
// upstream handshake, and like everything here it never waits.
void RelayLoop::Loop::StartGreeting(Session& s, MonotonicClock::time_point now) {
    RelaySession& r = *s.ends;
    if (r.client.tls.Accept(r.ctx.tlsServer, r.client.sock.Get()) != NetResult::Ok) {
        GreetingFailed(s, CodeOf(NetResult::TlsObjectFailure));
        return;
    }
    s.greetBy = now + std::chrono::seconds(r.handshakeSeconds);
    Arm(s, s.greetBy);
    Greet(s, now);
}

void RelayLoop::Loop::Greet(Session& s, MonotonicClock::time_point now) {
    SocketWait wait = SocketWait::None;
    if (s.ends->client.tls.HandshakeSome(wait) == 1) {
        s.greeted = true;
        // Its bound is over: the timer goes stale, the walk arms its own.
        s.timerDue = kNoDeadline;
        Begin(s, now);
        return;
    }
    if (wait == SocketWait::None) {
        // A refused handshake (an alert, a bad record) leaves no system error.
        GreetingFailed(s, errno != 0 ? errno : CodeOf(NetResult::HandshakeFailure));
        return;
    }
    if (!Poll(s, s.clientEnd, EventsFor(wait))) GreetingFailed(s, errno);
}

void RelayLoop::Loop::GreetingFailed(Session& s, int32_t code) {
    WriteLog(s.ends->ctx, PROXY, MINOR, "ERROR: process %s client handshake failed(%d)",
             ListenerName(s.ends->Listener()), code);
    End(s);
}

// A refused session was never polled, and its client is closed already.
void RelayLoop::Loop::Forget(Session& s) {
    s.over = true;
    trimDue = true;
    auto found = sessions.find(s.id);
    if (found == sessions.end()) return;
    ended.push_back(std::move(found->second));
    sessions.erase(found);
}

// Acts on where the walk stands: it waits for its sockets or its deadline,
// for the resolver as well, or it is over.
void RelayLoop::Loop::Choose(Session& s, ChoiceStep step, MonotonicClock::time_point now) {
    RelaySession& r = *s.ends;
    ServerChoice& choice = *r.choice;
    if (step == ChoiceStep::Resolving && !Resolve(s, choice.Host())) {
        Choose(s, choice.Resolved(false, in_addr{}, now), now);
        return;
    }
    if (step == ChoiceStep::Waiting || step == ChoiceStep::Resolving) {
        Arm(s, choice.Deadline());
        return;
    }
    choice.PollWith(nullptr);
    if (step == ChoiceStep::Chosen) {
        choice.TakeChosen(r.server);
        r.serverTls = choice.Chosen().IsSSL;
        if (r.chosen) r.chosen(r);
        r.choice.reset();
        StartRelays(s, now);
    } else {
        GiveUp(s);
    }
}

// The system's resolver blocks, for seconds when a name server is away: it
// runs on a service thread, whose answer comes back like a new session.
// False when that thread could not start.
bool RelayLoop::Loop::Resolve(Session& s, const std::string& host) {
    uint64_t id = s.id;
    inbox.Promise();
    bool started = StartThread(
        [this, id, host] {
            Answer answer{id, false, {}};
            answer.found = ResolveIpv4(host.c_str(), answer.address);
            inbox.Fulfil(answer);
        },
        kServiceStackBytes);
    if (!started) inbox.Withdraw();
    return started;
}

void RelayLoop::Loop::Answered(const Answer& answer) {
    auto found = sessions.find(answer.session);
    if (found == sessions.end()) return;
    Session& s = *found->second;
    if (s.over || !s.Choosing() || !s.ends->choice) return;
    MonotonicClock::time_point now = MonotonicClock::now();
    Choose(s, s.ends->choice->Resolved(answer.found, answer.address, now), now);
}

void RelayLoop::Loop::StartRelays(Session& s, MonotonicClock::time_point now) {
    s.toServer.emplace(s.ends->ctx, Direction(*s.ends, CLIENT));
    s.toClient.emplace(s.ends->ctx, Direction(*s.ends, SERVER));
    s.lastActivity = now;
    for (int sock : {s.ends->client.sock.Get(), s.ends->server.sock.Get()})
        SetKeepAlive(sock, s.keepAlive.idleSeconds, s.keepAlive.intervalSeconds, s.keepAlive.probes);
    // The bound of the connect is over: its timer, if any, goes stale.
    s.timerDue = kNoDeadline;
    MonotonicClock::time_point due = Deadline(s);
    if (due != kNoDeadline) Arm(s, due);
    // Data that came before the session was polled is waiting on the socket,
    // or, after the client's handshake, in the TLS library.
    Settle(s, RelayTurn::Waiting, RelayTurn::Waiting);
    if (!s.over && s.toServer->SourceBuffered()) Serve(s.clientEnd, 0, now);
}

// No server: the client process takes the session back, to tell the user
// and close it, which may take as long as the user does.
void RelayLoop::Loop::GiveUp(Session& s) {
    s.over = true;
    Poll(s, s.serverEnd, 0);
    Poll(s, s.clientEnd, 0);
    trimDue = true;
    std::unique_ptr<RelaySession> ends = std::move(s.ends);
    auto found = sessions.find(s.id);
    if (found != sessions.end()) {
        ended.push_back(std::move(found->second));
        sessions.erase(found);
    }
    if (ends->noServer) {
        ends->noServer(std::move(ends));
    } else if (ends->ended) {
        ends->ended(*ends);
    }
}

void RelayLoop::Loop::Arm(Session& s, MonotonicClock::time_point when) {
    if (when >= s.timerDue) return;
    s.timerDue = when;
    reactor.Arm(when, s.id);
}

// Runs the relays that wait on end: the one that sends to it and the one
// that reads from it. Records one call left in the TLS library are read at
// once, as no socket will tell of them.
void RelayLoop::Loop::Serve(LoopEnd& end, uint32_t events, MonotonicClock::time_point now) {
    Session& s = *end.session;
    if (s.Choosing()) return;
    DataTransmission& into = end.server ? *s.toServer : *s.toClient;
    DataTransmission& from = end.server ? *s.toClient : *s.toServer;
    RelayTurn toServer = RelayTurn::Waiting;
    RelayTurn toClient = RelayTurn::Waiting;
    bool serverRead = false;  // the server-to-client relay ran
    bool clientRead = false;  // the client-to-server relay ran
    auto run = [&](DataTransmission& relay) {
        bool client = &relay == &*s.toClient;
        RelayTurn& turn = client ? toClient : toServer;
        turn = relay.Run(chunk.get(), now, s.lastActivity);
        serverRead = serverRead || client;
        clientRead = clientRead || !client;
        return !Failed(turn);
    };
    if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) from.SourceHungUp();
    bool going = true;
    if (into.DestinationWait() != SocketWait::None) going = run(into);
    if (going && (from.SourceWait() != SocketWait::None || from.SourceBuffered())) going = run(from);
    if (going && into.SourceBuffered()) going = run(into);
    // A TLS write that waits for the peer's records (a renegotiation) may
    // have had them taken off the socket by the read just done: it tries again
    // rather than wait for the socket to tell it.
    if (going && serverRead && s.toServer->DestinationWait() == SocketWait::Readable) going = run(*s.toServer);
    if (going && clientRead && s.toClient->DestinationWait() == SocketWait::Readable) run(*s.toClient);
    Settle(s, toServer, toClient);
}

// The server's end is the session's end: a mail client waiting in IDLE sees
// its socket close in the same round, rather than sit on a half-closed one
// that it may never read again.
void RelayLoop::Loop::Settle(Session& s, RelayTurn a, RelayTurn b) {
    if (Failed(a) || Failed(b) || s.toClient->Ended()) {
        End(s);
        return;
    }
    uint32_t client = EventsFor(s.toServer->SourceWait()) | EventsFor(s.toClient->DestinationWait());
    uint32_t server = EventsFor(s.toClient->SourceWait()) | EventsFor(s.toServer->DestinationWait());
    if (!Poll(s, s.clientEnd, client) || !Poll(s, s.serverEnd, server)) {
        WriteLog(s.ends->ctx, PROXY, CRITICAL, "ERROR: process %s wait for data failed(%d)",
                 ProtocolTypeName(s.ends->protocol), errno);
        End(s);
        return;
    }
    // A chunk just held brings the stall bound, far before the quiet limit
    // that the timer may be set for; a later deadline waits for that timer.
    Arm(s, Deadline(s));
}

// An end that nothing waits for leaves the poll set: a closed peer would
// otherwise report itself again and again.
bool RelayLoop::Loop::Poll(Session& s, LoopEnd& end, uint32_t events) {
    int sock = (end.server ? s.ends->server.sock : s.ends->client.sock).Get();
    return reactor.Watch(sock, end.events, events, EventOf(s, end));
}

// Sending what it holds counts as activity, however slowly it goes; only a
// held chunk that does not move at all runs into the stall bound, which is
// far shorter than the quiet limit.
MonotonicClock::time_point RelayLoop::Loop::Deadline(const Session& s) const {
    if (s.Admitting()) return s.ends->admitBy;
    if (s.Greeting()) return s.greetBy;
    if (s.Choosing()) return s.ends->choice ? s.ends->choice->Deadline() : kNoDeadline;
    constexpr auto none = MonotonicClock::duration::zero();
    MonotonicClock::time_point last = s.lastActivity;
    MonotonicClock::time_point due = kNoDeadline;
    for (const DataTransmission* relay : {&*s.toServer, &*s.toClient}) {
        if (!relay->Holding()) continue;
        last = std::max(last, relay->StalledSince());
        if (s.stall > none) due = std::min(due, relay->StalledSince() + s.stall);
    }
    if (s.quiet > none) due = std::min(due, last + s.quiet);
    return due;
}

void RelayLoop::Loop::Expire(MonotonicClock::time_point now) {
    Reactor::Timer timer;
    while (reactor.TakeDue(now, timer)) {
        auto found = sessions.find(timer.key);
        if (found == sessions.end()) continue;
        Session& s = *found->second;
        if (timer.when != s.timerDue) continue;
        s.timerDue = kNoDeadline;
        MonotonicClock::time_point due = Deadline(s);
        if (due > now) {
            Arm(s, due);
            continue;
        }
        TimeOut(s, now);
    }
}

void RelayLoop::Loop::TimeOut(Session& s, MonotonicClock::time_point now) {
    if (s.Admitting()) {
        if (Admit(s, AdmitTry::Last)) Begin(s, now);
        return;
    }
    if (s.Greeting()) {
        GreetingFailed(s, CodeOf(ProxyResult::WaitTimeout));
        return;
    }
    if (s.Choosing()) {
        Choose(s, s.ends->choice->Expired(now), now);
        return;
    }
    for (DataTransmission* relay : {&*s.toClient, &*s.toServer}) {
        if (relay->Holding() && s.stall > MonotonicClock::duration::zero() && now - relay->StalledSince() >= s.stall) {
            relay->GiveUpSending();
            End(s);
            return;
        }
    }
    // The server owes the next word: a session whose server has ended is over.
    WriteLog(s.ends->ctx, PROXY, MINOR, "ERROR: from %s timeout(%d)", s.toClient->SideName(),
             CodeOf(ProxyResult::WaitTimeout));
    End(s);
}

// The relays write their end lines, then the client process closes both
// ends and frees the slot. A closed socket leaves the poll set by itself;
// one left open takes a call.
void RelayLoop::Loop::End(Session& s) {
    if (s.over) return;
    // A client still waiting for a slot has its last chance of one, so that
    // whoever takes it in has a session to end.
    if (s.Admitting() && !Admit(s, AdmitTry::Last)) return;
    s.over = true;
    if (!s.Choosing()) {
        s.toServer->Finish();
        s.toClient->Finish();
    } else if (s.ends->choice) {
        s.ends->choice->Abandon();
        s.ends->choice->PollWith(nullptr);
    }
    if (s.ends->ended) s.ends->ended(*s.ends);
    for (LoopEnd* end : {&s.clientEnd, &s.serverEnd}) {
        if (end->server ? s.ends->server.sock.Valid() : s.ends->client.sock.Valid())
            Poll(s, *end, 0);
        else
            end->events = 0;
    }
    trimDue = true;
    auto found = sessions.find(s.id);
    if (found == sessions.end()) return;
    ended.push_back(std::move(found->second));
    sessions.erase(found);
}

// A timer of a session that has ended, or one that a later timer of its
// session replaced, would wake the loop for nothing.
bool RelayLoop::Loop::Current(const Reactor::Timer& timer) const {
    auto found = sessions.find(timer.key);
    return found != sessions.end() && found->second->timerDue == timer.when;
}

int RelayLoop::Loop::WaitMillis(MonotonicClock::time_point now) const {
    long long left = reactor.MillisUntilFirst(now);
    if (trimDue && (left < 0 || left > kQuietBeforeTrim.count())) left = kQuietBeforeTrim.count();
    return left < 0 ? -1 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

void RelayLoop::Loop::Handle(const epoll_event& event, MonotonicClock::time_point now) {
    uint64_t named = event.data.u64;
    if (named == Reactor::kWakeToken) {
        reactor.TakeWakeUps();
        TakeIncoming();
        return;
    }
    auto found = sessions.find(named >> kEndBits);
    if (found == sessions.end() || found->second->over) return;
    Session& s = *found->second;
    uint64_t which = named & ((1u << kEndBits) - 1);
    if (which >= kFirstAttempt) {
        if (!s.Choosing() || !s.ends->choice) return;
        bool failed = (event.events & (EPOLLERR | EPOLLHUP)) != 0;
        Choose(s, s.ends->choice->Ready(which - kFirstAttempt, failed, now), now);
        return;
    }
    if (s.Greeting()) {
        if (which == kClientEnd) Greet(s, now);
        return;
    }
    Serve(which == kServerEnd ? s.serverEnd : s.clientEnd, event.events, now);
}

void RelayLoop::Loop::Run() {
    // Named for whoever looks at the process's threads; the thread may be
    // parked and reused for other work afterwards, under its old name.
    char oldName[16] = "";
    pthread_getname_np(pthread_self(), oldName, sizeof oldName);
    pthread_setname_np(pthread_self(), kRelayThreadName);
    epoll_event events[kEventsPerWait];
    while (!stop) {
        reactor.DropStale([this](const Reactor::Timer& timer) { return Current(timer); });
        int n = reactor.Wait(events, kEventsPerWait, WaitMillis(MonotonicClock::now()));
        if (n < 0 && errno != EINTR) break;
        if (n == 0 && trimDue) {
            trimDue = false;
            ReturnFreedMemory();
        }
        MonotonicClock::time_point now = MonotonicClock::now();
        for (int i = 0; i < n; ++i) Handle(events[i], now);
        Expire(now);
        AdmitWaiting(now);
        ended.clear();
    }
    pthread_setname_np(pthread_self(), oldName);
}

RelayLoop::RelayLoop() = default;

RelayLoop::~RelayLoop() {
    MutexLock hold(lock_);
    loop_.reset();
}

bool RelayLoop::Add(std::unique_ptr<RelaySession>& session, const RelayTimeouts& timeouts) {
    if (!session) return false;
    MutexLock hold(lock_);
    if (!loop_) {
        auto loop = std::make_unique<Loop>();
        Loop* raw = loop.get();
        if (!loop->reactor.Open() || !loop->thread.Start([raw] { raw->Run(); }, kServiceStackBytes)) return false;
        loop_ = std::move(loop);
    }
    loop_->inbox.Post(std::make_unique<Session>(std::move(session), timeouts));
    return true;
}
