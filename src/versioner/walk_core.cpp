// The walk: what a Walker does on its caller's thread (the pool it hands
// listings to is walk_pool.cpp).
#include "walk_core.hpp"
#include "walk_pool.hpp"

#include "platform.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace kv::walk {

namespace {

// Retaking the interpreter lock may end the thread (unwind.hpp): the
// destructor lets that unwind pass.
class Unlocked {
public:
    explicit Unlocked(Hooks& hooks) : hooks_(hooks) { hooks_.unlock(); }
    ~Unlocked() noexcept(false) { hooks_.lock(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    Hooks& hooks_;
};

}  // namespace


// ---------------------------------------------------------------------------
// The walk. Everything below runs on the caller's thread.

struct Walker::Node {
    enum State { kNew, kRefused, kAnnounced, kListed };
    std::uint64_t id = 0;
    std::string path;
    std::size_t rel = 0;
    bool nofollow = false;
    // A symbolic link to a directory when its parent was listed: entered only
    // if a real directory has replaced it by the time the walk reaches it, as
    // os.walk asks islink then.
    bool link = false;
    State state = kNew;
    std::shared_ptr<Job> job;  // kAnnounced, while the pool has it
    Listing listing;           // kListed
    bool ahead = false;        // listed by a worker: checked when the walk reaches it
    // kListed: whether `children` has been made from the listing yet. A
    // listing taken ahead is expanded only while the budget has room for its
    // records, else when the walk reaches it.
    bool expanded = false;
    std::size_t records = 0;  // what `children` counts against the walk's budget
    // What they would count, once known: a node the budget has no room for is
    // met again by each look ahead until the walk reaches it.
    std::size_t records_needed = kUnknown;
    static constexpr std::size_t kUnknown = ~std::size_t{0};
    std::vector<std::unique_ptr<Node>> children;  // kListed: the subdirectories to enter
};

Walker::Walker(std::string top, bool read_ahead, LinkRule links)
    : top_(std::move(top)), read_ahead_(read_ahead), links_(links), generation_(0) {}

void Walker::caller_code_ran() {
    ++epoch_;
    if (shared_) shared_->epoch.store(epoch_, std::memory_order_release);
}

Walker::~Walker() { cancel(); }

void Walker::cancel() noexcept {
    if (!shared_ || generation_ != fork_generation.load(std::memory_order_acquire)) return;
    Pool& pool = *shared_->pool;
    std::lock_guard<std::mutex> lock(pool.mutex);
    const Shared* mine = shared_.get();
    pool.queue.erase(std::remove_if(pool.queue.begin(), pool.queue.end(),
                                    [mine](const auto& job) { return job->owner.get() == mine; }),
                     pool.queue.end());
}

// In the child of a fork: what the parent's workers had in hand is listed
// again here, and the listings kept count against a new budget.
void Walker::after_fork() {
    std::vector<Node*> nodes;
    for (auto& node : pending_) nodes.push_back(node.get());
    while (!nodes.empty()) {
        Node* node = nodes.back();
        nodes.pop_back();
        node->job.reset();
        node->listing.charged = 0;
        node->records = 0;
        for (auto& child : node->children) nodes.push_back(child.get());
    }
    shared_.reset();
}

void Walker::submit(Node& node, std::uint64_t priority) {
    if (shared_ && generation_ != fork_generation.load(std::memory_order_acquire)) after_fork();
    if (!shared_) {
        shared_ = std::make_shared<Shared>();
        shared_->budget.limit = kMaxAheadBytes;
        shared_->epoch.store(epoch_, std::memory_order_release);
        shared_->pool = current_pool(generation_);
    }
    auto job = std::make_shared<Job>();
    job->path = node.path;
    job->nofollow = node.nofollow;
    job->priority.store(priority, std::memory_order_relaxed);
    job->owner = shared_;
    node.job = job;
    Pool& pool = *shared_->pool;
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.queue.push_back(std::move(job));
    if (own_wait_us_ >= 0) {
        note_listing(pool, own_wait_us_);
        own_wait_us_ = -1;
    }
    if (far_) note_backlog(pool);
    if (pool.idle > 0) {
        pool.work.notify_one();
    } else if (pool.threads == 0 || pool.busy == pool.threads) {
        // Starting a thread costs the caller tens of microseconds: it starts
        // one only when no worker is free to start the next one itself, which
        // each does when it finds more work queued than idle workers.
        maybe_start(shared_->pool);
    }
}

std::size_t Walker::peak_ahead_bytes() const {
    return shared_ ? shared_->budget.peak.load() : 0;
}

std::size_t Walker::ahead_bytes() const {
    return shared_ ? shared_->budget.used.load() : 0;
}

namespace {

std::vector<std::unique_ptr<Walker::Node>> expand(Walker::Node& node, std::uint64_t& next_id,
                                                  bool is_top);

// What the records made by expanding `node` take on the heap: a subtree held
// ahead over a wide directory under a long path holds far more in its records,
// each with its full path, than in the listing itself.
std::size_t record_bytes(const Walker::Node& node) {
    constexpr std::size_t kShortString = 15;  // held in the string itself
    const Entries& entries = node.listing.entries;
    std::size_t bytes = 0;
    for (const Entry& entry : entries.items) {
        if (!entry.is_dir) continue;
        const std::size_t path = node.path.size() + 1 + entry.length;
        bytes += sizeof(Walker::Node) + sizeof(std::unique_ptr<Walker::Node>) +
                 (path > kShortString ? path + 1 : 0);
    }
    return bytes;
}

}  // namespace

// Gives back what a listing taken ahead counted against the walk's budget.
void Walker::release(Listing& listing) noexcept {
    if (listing.charged && shared_) shared_->budget.used.fetch_sub(listing.charged);
    listing.charged = 0;
}

// Makes the children of a node listed ahead, counting their records against
// the budget; not while that would overspend it: the walk then makes them
// when it reaches the node, as a walk without read-ahead would.
bool Walker::expand_ahead(Node& node) {
    if (node.records_needed == Node::kUnknown) node.records_needed = record_bytes(node);
    const std::size_t bytes = node.records_needed;
    Budget& budget = shared_->budget;
    std::size_t used = budget.used.load();
    do {
        if (used + bytes > budget.limit) return false;
    } while (!budget.used.compare_exchange_weak(used, used + bytes));
    std::size_t peak = budget.peak.load(std::memory_order_relaxed);
    while (used + bytes > peak && !budget.peak.compare_exchange_weak(peak, used + bytes)) {
    }
    node.records = bytes;
    expand(node, next_id_, node.id == 0);
    return true;
}

// Gives back what a node's children counted: they are held ahead no longer
// once the node is handed out (a walk without read-ahead holds them then too).
void Walker::release_records(Node& node) noexcept {
    if (node.records && shared_) shared_->budget.used.fetch_sub(node.records);
    node.records = 0;
}

// Takes the node's listing from its job when the job is done; otherwise
// records how soon the walk needs it.
bool Walker::collect(Node& node) {
    if (!node.job->done.load(std::memory_order_acquire)) return false;
    {
        std::lock_guard<std::mutex> lock(shared_->pool->mutex);
        if (node.job->state != Job::kDone) return false;
        if (!node.job->failed) {
            node.listing = std::move(node.job->result);
            node.state = Node::kListed;
            node.ahead = true;
            note_cost(node.job->waited_us < static_cast<double>(kQuickListing.count()),
                      node.listing.entries.items.size());
        }
    }
    node.job.reset();
    return node.state == Node::kListed;
}

namespace {

std::string join(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path += '/';
    return path += name;
}

// Makes the node's children from its listing: its subdirectories, in order,
// links to directories among them. Children it had before (a listing
// replaced by a fresh one) are kept where the fresh listing still names them
// as the same kind; the others are returned.
std::vector<std::unique_ptr<Walker::Node>> expand(Walker::Node& node, std::uint64_t& next_id,
                                                  bool is_top) {
    node.expanded = true;
    std::unordered_map<std::string, std::unique_ptr<Walker::Node>> before;
    for (auto& child : node.children) {
        std::string path = child->path;
        before.emplace(std::move(path), std::move(child));
    }
    node.children.clear();
    for (const Entry& entry : node.listing.entries.items) {
        if (!entry.is_dir) continue;
        std::string path = join(node.path, node.listing.entries.name(entry));
        auto kept = before.find(path);
        if (kept != before.end() && kept->second->link == entry.is_link) {
            node.children.push_back(std::move(kept->second));
            before.erase(kept);
            continue;
        }
        auto child = std::make_unique<Walker::Node>();
        child->id = next_id++;
        child->path = std::move(path);
        child->rel = is_top ? child->path.size() - entry.length : node.rel;
        child->nofollow = true;
        child->link = entry.is_link;
        node.children.push_back(std::move(child));
    }
    std::vector<std::unique_ptr<Walker::Node>> gone;
    for (auto& entry : before) {
        if (entry.second) gone.push_back(std::move(entry.second));
    }
    return gone;
}

}  // namespace

// Announces and queues, in walk order, what is known of the walk ahead: the
// pending directories and, below those already listed, their subdirectories.
// Visits only what it reaches: at most `reach` directories, and as many links
// passed over (a directory of links to directories would otherwise be walked
// whole for each directory handed out).
// A pass of schedule() visits every directory of the reach: once the reach is
// whole, one every kPassEvery directories handed out keeps it nearly whole at
// a fraction of the cost (over many small directories the passes were most of
// the walk's own time). The next directory not yet announced always asks for
// one: the reach ran dry, or the directory just handed out had subdirectories.
// Listings quicker than a hand-over ask for none: this thread lists each
// itself, and takes those already under way as they come.
bool Walker::pass_due() const {
    if (quiet()) return false;
    if (handed_out_ <= kRampSteps || handed_out_ - passed_at_ >= kPassEvery) return true;
    if (pending_.empty()) return false;
    const Node& next = *pending_.back();
    return next.state == Node::kNew && !next.link;
}

// Each quick, small listing adds a point, up to a few more than kQuietRun;
// any other takes eight away. A listing that blocks now and then (a busy
// machine) leaves a walk of such listings quiet; one in eight or more, or a
// few in a row, set the workers going again.
void Walker::note_cost(bool quick, std::size_t entries) {
    if (quick && entries < kSmallListing) {
        quiet_score_ = std::min(quiet_score_ + 1, kQuietRun + 16);
    } else {
        quiet_score_ = quiet_score_ > 8 ? quiet_score_ - 8 : 0;
    }
}

void Walker::schedule(Hooks& hooks) {
    passed_at_ = handed_out_;
    ++passes_;
    if (shared_ && generation_ != fork_generation.load(std::memory_order_acquire)) after_fork();
    if (!shared_ && std::chrono::steady_clock::now() - started_at_ < kThreadStartCost) return;
    // The reach doubles with each directory handed out, up to kMaxAhead: a
    // caller that stops after a few directories (the first item) sets few
    // listings going, a full walk soon has them all in flight. Where a
    // listing waits for the server longer than setting the whole reach going
    // costs, each step would cost a round trip: the reach is whole at once.
    const std::size_t reach = handed_out_ >= kRampSteps || far_
                                  ? kMaxAhead
                                  : std::min(kMaxAhead, std::size_t{1} << handed_out_);
    std::size_t ahead = 0;
    std::size_t links = 0;
    std::size_t visited = 0;
    frames_.clear();
    frames_.push_back(Frame{&pending_, 0, true});
    while (!frames_.empty() && ahead < reach) {
        Frame& frame = frames_.back();
        if (frame.taken == frame.nodes->size()) {
            frames_.pop_back();
            continue;
        }
        const std::size_t at = frame.from_back ? frame.nodes->size() - 1 - frame.taken : frame.taken;
        ++frame.taken;
        Node& node = *(*frame.nodes)[at];
        ++visited;
        // Whether a link is entered is decided when the walk reaches it.
        if (node.link) {
            if (++links > kMaxAhead) break;
            continue;
        }
        const bool needed_now = ahead == 0;
        ++ahead;
        if (node.state == Node::kNew) {
            // Every listing ahead counts, queued, running or done: none is
            // queued while those under way hold the budget.
            if (shared_ && shared_->budget.used.load() >= shared_->budget.limit) break;
            node.state = hooks.announce(node.id, node.path, node.rel) ? Node::kAnnounced
                                                                       : Node::kRefused;
            // The directory needed now is listed on this thread, without a
            // hand-over; unless listings are so slow that a worker had better
            // list it while this thread queues the others.
            if (node.state == Node::kAnnounced && (!needed_now || far_)) submit(node, ahead);
            continue;
        }
        if (node.state == Node::kAnnounced && node.job && shared_) {
            if (!collect(node)) {
                if (node.job) node.job->priority.store(ahead, std::memory_order_relaxed);
                continue;
            }
        }
        if (node.state == Node::kListed && (node.expanded || (shared_ && expand_ahead(node)))) {
            // (`frame` may be gone with the push.)
            frames_.push_back(Frame{&node.children, 0, false});
        }
    }
    most_visited_ = std::max(most_visited_, visited);
}

// Makes the listing of `node`, the directory the walk turns to, available.
void Walker::obtain(Hooks& hooks, Node& node) {
    // A wait is cut into slices for the caller to poll between them; it
    // counts as one wait for the pool, and listings of others that finished
    // while the caller polled are still seen.
    bool resumed = false;
    std::uint64_t seen = 0;
    while (node.state == Node::kAnnounced) {
        if (node.job && generation_ != fork_generation.load(std::memory_order_acquire)) {
            after_fork();
        }
        if (!node.job) {
            Listing listing;
            {
                Unlocked unlocked(hooks);
                // Whether listings wait for the server is told by the first
                // few; telling costs a few system calls.
                std::optional<WaitClock> clock;
                if (!far_ && handed_out_ < kRampSteps) clock.emplace();
                std::optional<BlockWatch> watch;
                if (read_ahead_) watch.emplace();
                delay_for_tests();
                listing = list_directory(node.path, node.nofollow);
                if (clock) {
                    own_wait_us_ = clock->waited_us();
                    far_ = own_wait_us_ >= static_cast<double>(kFarListing.count());
                }
                if (watch) {
                    note_cost(!watch->blocked_longer_than(kQuickListing),
                              listing.entries.items.size());
                }
            }
            node.listing = std::move(listing);
            node.listing.epoch = epoch_;
            node.state = Node::kListed;
            expand(node, next_id_, node.id == 0);
            return;
        }
        bool others_done = false;
        bool taken_back = false;
        bool sliced = false;
        {
            Unlocked unlocked(hooks);
            Pool& pool = *shared_->pool;
            std::unique_lock<std::mutex> lock(pool.mutex);
            Job& job = *node.job;
            if (job.state == Job::kQueued && !(far_ && pool.idle > 0)) {
                // Nobody has started on it: list it here rather than wait.
                pool.queue.erase(std::find(pool.queue.begin(), pool.queue.end(), node.job));
                taken_back = true;
                note_wait(pool);
            } else {
                // What the walk waits for is finished whatever the budget.
                job.exempt.store(true);
                if (!resumed) {
                    note_wait(pool);
                    seen = shared_->completions;
                }
                sliced = !shared_->done.wait_for(lock, kPollInterval, [&] {
                    return job.state == Job::kDone || shared_->completions != seen;
                });
                others_done = !sliced && job.state != Job::kDone;
            }
        }
        resumed = sliced;
        if (sliced) {
            hooks.poll();
        } else if (taken_back) {
            node.job.reset();
        } else if (others_done) {
            // Listings further ahead came in meanwhile: look past them.
            schedule(hooks);
        } else {
            collect(node);
        }
    }
}

// A listing taken ahead is used as it is when it was started after the
// caller's code last ran. The epoch a worker records is one it loaded
// (acquire) before opening the directory; the caller's thread stores a new
// one (release) after the caller's code ran. A listing that records the
// current epoch therefore opened the directory after every change the
// caller made, and the ones made elsewhere meanwhile are as concurrent with
// it as with a walk listing the directory now. A listing started earlier
// (a worker that loaded the epoch just before the store records the old
// one) is used only if the directory has not changed since, its links'
// kinds asked again, as a walk listing it now would find them; otherwise
// the directory is listed again now.
void Walker::refresh(Hooks& hooks, Node& node) {
    node.ahead = false;
    if (node.listing.epoch == epoch_) return;
    bool same;
    bool kinds_changed = false;
    Listing fresh;
    {
        Unlocked unlocked(hooks);
        same = shared_ && unchanged_since(node.path, node.listing.stamp, shared_->times);
        if (!same) {
            fresh = list_directory(node.path, node.nofollow);
        } else {
            std::string path;
            for (Entry& entry : node.listing.entries.items) {
                if (!entry.is_link) continue;
                path = node.path;
                if (!path.empty() && path.back() != '/') path += '/';
                path += node.listing.entries.name(entry);
                const bool is_dir = sys::is_directory(path);
                kinds_changed |= is_dir != entry.is_dir;
                entry.is_dir = is_dir;
            }
        }
    }
    node.listing.epoch = epoch_;
    if (same && !kinds_changed) return;
    if (!same) {
        release(node.listing);
        node.listing = std::move(fresh);
        node.listing.epoch = epoch_;
    }
    for (auto& gone : expand(node, next_id_, node.id == 0)) discard(*gone);
}

// kAtParentResume: the walk moves on from the directory it handed out last,
// and decides now for each of its subdirectories whether it is a link, which
// is then not entered; the others are entered as whatever their paths lead
// to when the walk reaches them. Kinds known as of the current epoch are
// used as they are; otherwise each path is asked, as a walk moving on now
// would ask.
void Walker::decide_links(Hooks& hooks) {
    const std::size_t count = std::min(undecided_, pending_.size());
    undecided_ = 0;
    if (count == 0) return;
    const auto first = pending_.end() - static_cast<std::ptrdiff_t>(count);
    if (kinds_known_at_ != epoch_) {
        Unlocked unlocked(hooks);
        for (auto it = first; it != pending_.end(); ++it) {
            (*it)->link = sys::is_link((*it)->path);
        }
    }
    for (auto it = first; it != pending_.end(); ++it) (*it)->nofollow = false;
    std::vector<std::unique_ptr<Node>> kept;
    for (auto it = first; it != pending_.end(); ++it) {
        if ((*it)->link) {
            discard(**it);
        } else {
            kept.push_back(std::move(*it));
        }
    }
    pending_.erase(first, pending_.end());
    for (auto& node : kept) pending_.push_back(std::move(node));
}

// Whether the link `node` names has become a directory by now.
bool Walker::became_directory(Hooks& hooks, Node& node) {
    bool is_dir;
    {
        Unlocked unlocked(hooks);
        is_dir = sys::is_directory_not_followed(node.path);
    }
    node.link = !is_dir;
    return !node.link;
}

// Drops a subtree the walk will not enter after all.
void Walker::discard(Node& node) noexcept {
    release(node.listing);
    release_records(node);
    if (node.job && shared_ && generation_ == fork_generation.load(std::memory_order_acquire)) {
        Pool& pool = *shared_->pool;
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto it = std::find(pool.queue.begin(), pool.queue.end(), node.job);
        if (it != pool.queue.end()) {
            pool.queue.erase(it);
        } else if (node.job->state == Job::kDone) {
            release(node.job->result);
        } else {
            node.job->orphaned = true;  // its worker gives back what it counted
        }
    }
    node.job.reset();
    for (auto& child : node.children) discard(*child);
}

void Walker::pending(std::vector<std::pair<std::string, std::size_t>>& out,
                     std::size_t& undecided) const {
    out.clear();
    if (!started_) {
        out.emplace_back(top_, top_.size());
        undecided = 0;
        return;
    }
    for (const auto& node : pending_) out.emplace_back(node->path, node->rel);
    undecided = std::min(undecided_, pending_.size());
}

bool Walker::next(Hooks& hooks, Step& out) {
    if (!started_) {
        started_ = true;
        started_at_ = std::chrono::steady_clock::now();
        auto top = std::make_unique<Node>();
        top->id = next_id_++;
        top->path = top_;
        top->rel = top_.size();
        pending_.push_back(std::move(top));
    }
    if (links_ == LinkRule::kAtParentResume) decide_links(hooks);
    while (!pending_.empty()) {
        hooks.poll();
        Node& node = *pending_.back();
        // A link passed over asks for no pass of its own: while the reach
        // ramps up, a run of links would each cost one.
        if (links_ == LinkRule::kAtEntry && node.link && !became_directory(hooks, node)) {
            pending_.pop_back();
            continue;
        }
        if (read_ahead_ && pass_due()) schedule(hooks);
        if (node.state == Node::kNew) {
            node.state = hooks.announce(node.id, node.path, node.rel) ? Node::kAnnounced
                                                                       : Node::kRefused;
        }
        obtain(hooks, node);
        if (node.state == Node::kListed && node.ahead) refresh(hooks, node);
        // (A listing taken ahead may still wait for the budget to make room
        // for its records.)
        if (node.state == Node::kListed && node.listing.ok && !node.expanded) {
            expand(node, next_id_, node.id == 0);
        }
        const std::uint64_t kinds_known_at = node.listing.epoch;
        std::unique_ptr<Node> taken = std::move(pending_.back());
        pending_.pop_back();
        out.id = taken->id;
        out.path = std::move(taken->path);
        out.rel = taken->rel;
        out.entries.clear();
        if (taken->state == Node::kRefused) {
            out.kind = Step::kRefused;
            return true;
        }
        release(taken->listing);
        release_records(*taken);
        if (!taken->listing.ok) continue;
        for (auto it = taken->children.rbegin(); it != taken->children.rend(); ++it) {
            pending_.push_back(std::move(*it));
        }
        undecided_ = taken->children.size();
        kinds_known_at_ = kinds_known_at;
        out.kind = Step::kListed;
        out.entries = std::move(taken->listing.entries);
        // Listings ahead start now, while the caller works on this directory;
        // not after the first one, so that a caller that needs only the first
        // directory's items pays for nothing more.
        if (read_ahead_ && ++handed_out_ > 1 && pass_due()) schedule(hooks);
        return true;
    }
    return false;
}

}  // namespace kv::walk
