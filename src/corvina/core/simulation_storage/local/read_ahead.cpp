// Whole files read ahead of their decoding (see read_ahead.hpp).
#include "local/read_ahead.hpp"

#include <Python.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace css {

FileRead read_whole_unlocked(const std::string& full, std::string& buf, bool stat_after) {
    FileRead r;
    int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    clock_gettime(CLOCK_REALTIME, &r.opened_at);
    if (fd < 0) {
        r.err = errno;
        return r;
    }
    if (fstat(fd, &r.before) != 0) {
        r.err = errno;
    } else if (!S_ISREG(r.before.st_mode)) {
        r.regular = false;
    } else {
        const size_t want = static_cast<size_t>(r.before.st_size) + 1;
        if (buf.size() < want) buf.resize(want);
        while (r.got < want) {
            ssize_t n = read(fd, buf.data() + r.got, want - r.got);
            if (n < 0) {
                if (errno == EINTR) continue;
                r.err = errno;
                break;
            }
            if (n == 0) break;
            r.got += static_cast<size_t>(n);
            // The size it had when opened: no call more to hear so.
            if (r.got == want - 1) break;
        }
        r.grew = r.got == want;
        if (stat_after && !r.err) r.after_ok = fstat(fd, &r.after) == 0;
    }
    close(fd);
    return r;
}

ReadAhead::ReadAhead(std::vector<std::string> paths, bool stat_after)
    : paths_(std::move(paths)), stat_after_(stat_after) {
    if (paths_.size() < kMinFiles) return;
    state_ = std::make_unique<std::atomic<unsigned char>[]>(paths_.size());
    for (size_t i = 0; i < paths_.size(); ++i) state_[i].store(kFree, std::memory_order_relaxed);
    slots_ = std::make_unique<Slot[]>(kWindow);
    pid_ = getpid();
    try {
        reader_ = std::make_unique<std::thread>([this] { run(); });
    } catch (const std::exception&) {
        state_.reset();  // no thread to be had: every file on the caller's
    }
}

ReadAhead::~ReadAhead() {
    if (!reader_) return;
    if (getpid() != pid_) {
        // A child forked by a callback while the files were read: the
        // reader stayed in the parent. Its handle names no thread here, so
        // it is neither joined nor detached, only left behind.
        (void)reader_.release();
        return;
    }
    stop_.store(true, std::memory_order_release);
    released_.fetch_add(kWindow, std::memory_order_release);  // wakes a reader waiting for room
    released_.notify_all();
    Py_BEGIN_ALLOW_THREADS
    reader_->join();
    Py_END_ALLOW_THREADS
}

void ReadAhead::run() {
    for (size_t i = 0; i < paths_.size(); ++i) {
        // Room: the caller is done with the file that used this slot last.
        // Once out of room, the reader sleeps until half the window is
        // free, so that it and the caller wake each other once per half
        // window, not once per file.
        if (released_.load() + kWindow <= i) {
            // (Sequentially consistent: the caller stores `released_` then
            // reads `wake_at_`, the reader the other way round.)
            const size_t target = i + 1 - kWindow / 2;
            wake_at_.store(target);
            for (size_t done = released_.load(); done < target; done = released_.load()) {
                if (stop_.load(std::memory_order_acquire)) return;
                released_.wait(done);
            }
        }
        if (stop_.load(std::memory_order_acquire)) return;
        unsigned char free_state = kFree;
        if (!state_[i].compare_exchange_strong(free_state, kReading, std::memory_order_acq_rel))
            continue;  // the caller got there first
        Slot& s = slots_[i % kWindow];
        s.read = read_whole_unlocked(paths_[i], s.buf, stat_after_);
        state_[i].store(kRead, std::memory_order_release);
    }
}

const FileRead& ReadAhead::next(const char*& text) {
    const size_t i = taken_++;
    if (state_ && i > 0) {
        // The previous file's slot goes back to the reader, woken only
        // when it waits for as much room.
        released_.store(i);
        if (i == wake_at_.load()) released_.notify_all();
    }
    // A file the reader has not finished is read here rather than waited
    // for: on a busy machine the reader may not run again for a while.
    if (!state_ || state_[i].load(std::memory_order_acquire) != kRead) {
        if (state_) {
            unsigned char free_state = kFree;
            state_[i].compare_exchange_strong(free_state, kCallers, std::memory_order_acq_rel);
        }
        Py_BEGIN_ALLOW_THREADS
        own_.read = read_whole_unlocked(paths_[i], own_.buf, stat_after_);
        Py_END_ALLOW_THREADS
        text = own_.buf.data();
        return own_.read;
    }
    Slot& s = slots_[i % kWindow];
    text = s.buf.data();
    return s.read;
}

}  // namespace css
