#include "python/mapping_guard.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace fieldloom::mapping {
namespace {

// Read by the signal handler without a lock: one slot per watched mapping,
// `start` published last and cleared first.
struct Range {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> changed{false};
};

constexpr int kSlots = 4096;
Range g_ranges[kSlots];
std::atomic<int> g_used{0};  // slots [0, g_used) have been handed out

// Only touched with the interpreter lock held.
PyObject* g_paths[kSlots];
int g_fds[kSlots];
std::size_t g_sizes[kSlots];

struct sigaction g_previous;
std::atomic<bool> g_chaining{false};
std::uintptr_t g_page = 4096;

void on_sigbus(int signal, siginfo_t* info, void* context);

// Hands the signal to whoever handled it before us; with nobody, dies of it.
void pass_on(int signal, siginfo_t* info, void* context) {
    // A handler that ends up here again (one that restores us and raises)
    // gets the default instead of a loop.
    if (!g_chaining.exchange(true)) {
        const struct sigaction previous = g_previous;
        if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr &&
            previous.sa_sigaction != &on_sigbus) {
            previous.sa_sigaction(signal, info, context);
            g_chaining.store(false);
            return;
        }
        if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            previous.sa_handler(signal);
            g_chaining.store(false);
            return;
        }
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // A fault runs its load again on return and dies of it; a sent signal is sent again.
    if (info == nullptr || info->si_code <= 0) raise(signal);
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    if (info != nullptr && info->si_code > 0) {
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        const int used = g_used.load(std::memory_order_acquire);
        for (int i = 0; i < used; ++i) {
            Range& range = g_ranges[i];
            const std::uintptr_t start = range.start.load(std::memory_order_acquire);
            if (start == 0 || address < start) continue;
            const std::uintptr_t end = range.end.load(std::memory_order_acquire);
            if (address >= end) continue;
            // The file ends before this page now, so before every later one of the map too.
            const std::uintptr_t page = address & ~(g_page - 1);
            const std::uintptr_t stop = (end + g_page - 1) & ~(g_page - 1);
            void* zeros = mmap(reinterpret_cast<void*>(page), stop - page, PROT_READ,
                               MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (zeros == MAP_FAILED) break;
            range.changed.store(true, std::memory_order_release);
            errno = saved_errno;
            return;
        }
    }
    errno = saved_errno;
    pass_on(signal, info, context);
}

// Puts the handler first, in front of whatever is installed now (a fault
// handler enabled after the last watch included).
bool install() {
    struct sigaction current {};
    if (sigaction(SIGBUS, nullptr, &current) != 0) return false;
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == &on_sigbus) return true;
    g_page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    g_previous = current;
    struct sigaction ours {};
    ours.sa_sigaction = &on_sigbus;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    return sigaction(SIGBUS, &ours, nullptr) == 0;
}

}  // namespace

int watch(const void* data, std::size_t size, PyObject* path, int fd) {
    if (!install()) {
        PyErr_SetFromErrno(PyExc_OSError);
        return 0;
    }
    int slot = 0;
    const int used = g_used.load(std::memory_order_relaxed);
    while (slot < used && g_ranges[slot].start.load(std::memory_order_relaxed) != 0) ++slot;
    if (slot == kSlots) {
        PyErr_Format(PyExc_OSError, "%S: too many recordings are open (at most %d)", path, kSlots);
        return 0;
    }
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return 0;
    }
    g_fds[slot] = copy;
    g_sizes[slot] = size;
    g_paths[slot] = Py_NewRef(path);
    Range& range = g_ranges[slot];
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    range.changed.store(false, std::memory_order_relaxed);
    range.end.store(start + size, std::memory_order_release);
    range.start.store(start, std::memory_order_release);
    if (slot == used) g_used.store(used + 1, std::memory_order_release);
    return slot + 1;
}

void unwatch(int id) noexcept {
    if (id <= 0) return;
    const int slot = id - 1;
    g_ranges[slot].start.store(0, std::memory_order_release);
    close(g_fds[slot]);
    Py_CLEAR(g_paths[slot]);
}

bool unchanged(int id) {
    const int slot = id - 1;
    struct stat status {};
    // Bytes of the last page past the file's end read as zeros without a fault; the size tells.
    const bool shorter = fstat(g_fds[slot], &status) == 0 && static_cast<std::uint64_t>(status.st_size) < g_sizes[slot];
    if (!shorter && !g_ranges[slot].changed.load(std::memory_order_acquire)) return true;
    g_ranges[slot].changed.store(true, std::memory_order_relaxed);
    PyErr_Format(PyExc_OSError, "%U changed while it was being read", g_paths[slot]);
    return false;
}

ReadCheck::ReadCheck(const void* data, std::size_t size) noexcept {
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    if (size == 0) return;
    const int used = g_used.load(std::memory_order_acquire);
    for (int i = 0; i < used; ++i) {
        const std::uintptr_t start = g_ranges[i].start.load(std::memory_order_relaxed);
        if (start != 0 && first >= start && first < g_ranges[i].end.load(std::memory_order_relaxed)) {
            id_ = i + 1;
            return;
        }
    }
}

}  // namespace fieldloom::mapping
