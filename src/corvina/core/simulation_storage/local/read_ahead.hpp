// Whole files read in order by a thread of their own, a few ahead of the
// one the caller decodes: the kernel's copying of the next files overlaps
// the decoding of this one, on another core. Used where one call reads
// hundreds of files in a row (an index's first reading of a directory, a
// long page of records); a handful is read on the caller's thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <time.h>
#include <vector>

namespace css {

// What one read of a whole file found.
struct FileRead {
    struct stat before{};  // of the open file, before its bytes were read
    struct stat after{};   // after they were, when asked for
    timespec opened_at{};  // the clock when it was opened
    int err = 0;           // errno of a failed open, stat or read
    bool regular = true;
    bool grew = false;     // longer than its size when opened
    bool after_ok = false;
    size_t got = 0;        // bytes read, in the buffer
};

// Reads `full` whole into `buf`, one byte more than its size so that a
// file that grew is noticed; `stat_after` stats it again once read. Makes
// no call into the interpreter, and does not release its lock.
FileRead read_whole_unlocked(const std::string& full, std::string& buf, bool stat_after);

// The reader thread and the caller both take files in order: a file the
// reader has not read by the time the caller wants it, the caller reads
// itself, never waiting. A busy machine that leaves the reader unscheduled
// costs little more than the thread's start; an idle one overlaps reading
// and decoding.
class ReadAhead {
public:
    // Fewer files than this are read on the caller's thread: a thread's
    // start costs about as much as reading a few dozen files.
    static constexpr size_t kMinFiles = 48;

    ReadAhead(std::vector<std::string> paths, bool stat_after);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The read of the next path, in order; `text` holds its bytes until the
    // next call.
    const FileRead& next(const char*& text);

private:
    static constexpr size_t kWindow = 16;
    // A file's state: not begun, being read by the reader, read by it, or
    // the caller's own.
    enum State : unsigned char { kFree, kReading, kRead, kCallers };
    struct Slot {
        FileRead read;
        std::string buf;
    };
    void run();

    std::vector<std::string> paths_;
    const bool stat_after_;
    std::unique_ptr<std::atomic<unsigned char>[]> state_;
    std::unique_ptr<Slot[]> slots_;  // the reader's, by file modulo kWindow
    // Files the caller is done with: the reader reads no further ahead than
    // a window past them, so that it never writes a slot still in use.
    std::atomic<size_t> released_{0};
    std::atomic<size_t> wake_at_{0};  // the `released_` a sleeping reader waits for
    std::atomic<bool> stop_{false};
    size_t taken_ = 0;  // files handed out
    std::unique_ptr<std::thread> reader_;
    pid_t pid_ = 0;  // the process the reader runs in
    Slot own_;  // what the caller reads itself
};

}  // namespace css
