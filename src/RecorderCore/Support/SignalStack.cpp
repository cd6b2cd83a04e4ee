#include "Support/SignalStack.h"

#include <signal.h>
#include <sys/mman.h>

#include <cstddef>

namespace brindlow {

namespace {

class ThreadSignalStack {
public:
    ThreadSignalStack() {
        stack_t current{};
        if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
        void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (memory == MAP_FAILED) return;
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = size;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(memory, size);
            return;
        }
        memory_ = memory;
    }
    ~ThreadSignalStack() {
        if (!memory_) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(memory_, size);
    }
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;

private:
    static constexpr size_t size = 64 * 1024;  // the crash report formats its text on it
    void* memory_ = nullptr;
};

}  // namespace

void ensureSignalStack() {
    thread_local ThreadSignalStack stack;
    (void)stack;
}

}  // namespace brindlow
