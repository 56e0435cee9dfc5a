// Transactions against a fake platform over real, executable memory: the patched code runs, so
// a hook that works is a hook that calls its detour and, through the trampoline, the original.
// The relocated prologues run natively too, rip-relative operands and branches among them.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "fakes/kit.h"
#include "intercept/engine.h"
#include "intercept/errors.h"

namespace {

using namespace intercept;
using bytes = std::vector<std::uint8_t>;

constexpr std::size_t arena_size = 0x200000;

class fake_platform : public platform, public fakes::fake_base {
public:
    ~fake_platform() override {
        EXPECT_TRUE(blocks.empty()) << "the engine gave back its blocks when it went";
        munmap(arena_, arena_size);
    }

    // Places code in the first half of the arena, read-only and executable like a loaded module;
    // trampoline blocks come from the second half.
    std::uint8_t* place(const bytes& code, std::size_t offset) {
        protect(arena_, PROT_READ | PROT_WRITE | PROT_EXEC);
        std::memcpy(arena_ + offset, code.data(), code.size());
        protect(arena_, PROT_READ | PROT_EXEC);
        return arena_ + offset;
    }
    std::size_t read(std::uint64_t address, std::uint8_t* out, std::size_t size) const override {
        const auto base = reinterpret_cast<std::uintptr_t>(arena_);
        if (address < base || address >= base + arena_size) {
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(size, base + arena_size - address);
        std::memcpy(out, reinterpret_cast<const void*>(address), n);
        return n;
    }
    arch code_arch() const override { return mode; }
    void* allocate_near(std::uint64_t, std::size_t size) override {
        if (check("allocate_near") || next_block_ + size > arena_size / 2) {
            return nullptr;
        }
        next_block_ += size;
        return *blocks.insert(arena_ + arena_size / 2 + next_block_ - size).first;
    }
    void release(void* block, std::size_t) override {
        EXPECT_EQ(blocks.erase(block), 1u) << "released twice or never handed out";
    }
    // Real page protections, so that a write to a page made read-only again faults.
    long make_writable(std::uint64_t address, std::size_t, std::uint32_t& previous) override {
        if (const auto e = check("make_writable")) {
            return e->code.value();
        }
        ++writable;
        auto* page = reinterpret_cast<std::uint8_t*>(address & ~std::uint64_t{0xFFF});
        previous = static_cast<std::uint32_t>(protection_[page]);
        protect(page, PROT_READ | PROT_WRITE | PROT_EXEC);
        return no_error;
    }
    void restore_protection(std::uint64_t address, std::size_t, std::uint32_t previous) override {
        --writable;
        protect(reinterpret_cast<std::uint8_t*>(address & ~std::uint64_t{0xFFF}),
                static_cast<int>(previous));
        if (after_writing) {
            after_writing();
        }
    }
    void flush_code(std::uint64_t, std::size_t) override {}
    std::uint32_t current_thread() const override { return thread_id; }
    bool is_current_thread(void* thread) const override { return thread == self(); }
    long suspend(void* thread) override {
        if (const auto e = check("suspend")) {
            return e->code.value();
        }
        ++suspended[thread];
        return no_error;
    }
    void resume(void* thread) override { --suspended[thread]; }
    long get_ip(void* thread, std::uint64_t& ip) override {
        ip = ips[thread];
        return no_error;
    }
    long set_ip(void* thread, std::uint64_t ip) override {
        ips[thread] = ip;
        return no_error;
    }

    static void* self() { return reinterpret_cast<void*>(-2); }

    // Runs inside a commit, once a target's new bytes are in.
    std::function<void()> after_writing;
    std::uint32_t thread_id = 1;
    arch mode = arch::x64;
    std::set<void*> blocks;  // handed out and not released
    int writable = 0;
    std::map<void*, int> suspended;
    std::map<void*, std::uint64_t> ips;

private:
    void protect(std::uint8_t* page, int flags) {
        ASSERT_EQ(mprotect(page, 0x1000, flags), 0);
        protection_[page] = flags;
    }

    std::uint8_t* arena_ =
        static_cast<std::uint8_t*>(mmap(nullptr, arena_size, PROT_READ | PROT_WRITE | PROT_EXEC,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::map<std::uint8_t*, int> protection_;
    std::size_t next_block_ = 0;
};

using int_fn = int (*)(int);

// int f(int x): mov eax,edi; add eax,1; ret  (two instructions cover the patch)
const bytes plus_one = {0x89, 0xF8, 0x83, 0xC0, 0x01, 0xC3};
// int g(int x): lea eax,[rdi+rdi]; nop dword [rax]; ret
const bytes twice = {0x8D, 0x04, 0x3F, 0x0F, 0x1F, 0x40, 0x00, 0xC3};

int_fn first_original = nullptr;
int_fn second_original = nullptr;
int times_ten(int x) {
    return first_original(x) * 10;
}
int plus_hundred(int x) {
    return second_original(x) + 100;
}

const auto as_ptr = [](int_fn f) { return reinterpret_cast<void*>(f); };
const auto slot_of = [](int_fn& f) { return reinterpret_cast<void**>(&f); };
void* const worker = reinterpret_cast<void*>(0x44);

class InterceptTransaction : public ::testing::Test {
protected:
    void SetUp() override {
        first = first_original = reinterpret_cast<int_fn>(os.place(plus_one, 0));
        second = second_original = reinterpret_cast<int_fn>(os.place(twice, 0x100));
    }
    static bytes code_at(int_fn f, std::size_t size) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(f);
        return bytes(p, p + size);
    }
    // Begins a transaction, enlists the threads, attaches (or detaches) both hooks. A failed call
    // fails every later one, so the last result tells whether all went well.
    long both(decltype(&engine::attach) op, std::initializer_list<void*> threads = {}) {
        EXPECT_EQ(hooks.begin(), no_error);
        for (void* thread : threads) {
            static_cast<void>(hooks.update_thread(thread));
        }
        static_cast<void>((hooks.*op)(slot_of(first_original), as_ptr(times_ten)));
        return (hooks.*op)(slot_of(second_original), as_ptr(plus_hundred));
    }
    void expect_unhooked() {
        EXPECT_EQ(code_at(first, plus_one.size()), plus_one);
        EXPECT_EQ(code_at(second, twice.size()), twice);
        EXPECT_EQ(first_original, first);
        EXPECT_EQ(second_original, second);
        EXPECT_EQ(os.writable, 0) << "every protection was restored";
        EXPECT_EQ(hooks.pool().slots_in_use(), 0u);
        for (const auto& [thread, count] : os.suspended) {
            EXPECT_EQ(count, 0) << "every enlisted thread was resumed";
        }
    }

    fake_platform os;
    engine hooks{os};
    int_fn first = nullptr;
    int_fn second = nullptr;
};

TEST_F(InterceptTransaction, AttachRunsTheDetoursAndDetachRestoresTheOriginals) {
    // Two hooks in one transaction, on targets that share a page. A worker thread stopped before
    // "add eax,1" continues at the same instruction in the trampoline, and back after the detach;
    // the calling thread, enlisted too, is never suspended.
    const auto at_add = [](int_fn f) { return reinterpret_cast<std::uintptr_t>(f) + 2; };
    os.ips[worker] = at_add(first);
    ASSERT_EQ(both(&engine::attach, {fake_platform::self(), worker}), no_error);
    EXPECT_EQ(os.suspended, (std::map<void*, int>{{worker, 1}}));
    EXPECT_EQ(first_original, first) << "the pointers change only at commit";
    ASSERT_EQ(hooks.commit(), no_error);
    EXPECT_EQ(os.ips[worker], at_add(first_original));
    EXPECT_EQ(first(4), 50) << "the detour runs once";
    EXPECT_EQ(first_original(4), 5) << "the trampoline runs the original";
    EXPECT_EQ(second(4), 108);

    ASSERT_EQ(both(&engine::detach, {worker}), no_error);
    ASSERT_EQ(hooks.commit(), no_error);
    EXPECT_EQ(os.ips[worker], at_add(first));
    expect_unhooked();
    EXPECT_EQ(first(4), 5);
    EXPECT_EQ(os.blocks.size(), 1u) << "committed blocks are kept for stale callers";
}

TEST_F(InterceptTransaction, RelocatedProloguesRunThroughTheirTrampolines) {
    // Each sample is placed at +0x400, with the value 1234 at +0x800 and a helper at +0x900
    // (mov eax,41; ret). Trampolines lie 1 MiB away: relative operands must be re-based.
    os.place({0xD2, 0x04, 0x00, 0x00}, 0x800);
    const bytes helper = {0xB8, 0x29, 0x00, 0x00, 0x00, 0xC3};
    const auto helper_fn = reinterpret_cast<int_fn>(os.place(helper, 0x900));
    // Name, code, and pairs of argument and result.
    const std::tuple<const char*, bytes, std::vector<std::pair<int, int>>> samples[] = {
        // mov eax,[rip+0x3FA]; ret
        {"rip-relative load", {0x8B, 0x05, 0xFA, 0x03, 0x00, 0x00, 0xC3}, {{0, 1234}}},
        // test edi,edi; je +6; mov eax,1; ret; mov eax,2; ret
        {"short jcc widened",
         {0x85, 0xFF, 0x74, 0x06, 0xB8, 0x01, 0, 0, 0, 0xC3, 0xB8, 0x02, 0, 0, 0, 0xC3},
         {{0, 2}, {1, 1}}},
        // call +0x4FB (the helper); add eax,1; ret
        {"call rel32", {0xE8, 0xFB, 0x04, 0x00, 0x00, 0x83, 0xC0, 0x01, 0xC3}, {{0, 42}}},
        // xor eax,eax; jmp +3; nop x3; add eax,7; ret: the copy ends at the jmp, before 5 bytes
        {"short jmp", {0x31, 0xC0, 0xEB, 0x03, 0x90, 0x90, 0x90, 0x83, 0xC0, 0x07, 0xC3}, {{0, 7}}},
        // jmp +0x4FB: another product hooked the function, its detour being the helper. Our
        // patch replaces that jump, in front of the other hook.
        {"another hook", {0xE9, 0xFB, 0x04, 0x00, 0x00, 0xCC, 0xCC, 0xCC}, {{0, 41}}},
    };
    for (const auto& [name, code, calls] : samples) {
        SCOPED_TRACE(name);
        const auto fn = first_original = reinterpret_cast<int_fn>(os.place(code, 0x400));
        ASSERT_EQ(both(&engine::attach), no_error);
        ASSERT_EQ(hooks.commit(), no_error);
        for (const auto& [argument, result] : calls) {
            EXPECT_EQ(fn(argument), result * 10);
            EXPECT_EQ(first_original(argument), result);
        }
        ASSERT_EQ(both(&engine::detach), no_error);
        ASSERT_EQ(hooks.commit(), no_error);
        EXPECT_EQ(code_at(fn, code.size()), code);
        EXPECT_EQ(code_at(helper_fn, helper.size()), helper)
            << "the code a branch leads to stays as it was";
    }
}

TEST_F(InterceptTransaction, PoolHandsOutFreedSlotsLastAndOnlyReachableOnes) {
    trampoline_pool pool(os);
    const auto near = reinterpret_cast<std::uintptr_t>(first);
    slot* const freed = pool.acquire(near);
    pool.free(freed);
    std::set<slot*> handed;
    for (std::size_t i = 1; i < slots_per_block; ++i) {
        handed.insert(pool.acquire(near));
    }
    EXPECT_EQ(handed.size(), slots_per_block - 1);
    EXPECT_FALSE(handed.count(freed) || handed.count(nullptr));
    EXPECT_EQ(pool.acquire(near), freed);
    EXPECT_NE(pool.acquire(near), nullptr) << "the block is full: another one";
    // x64: a block the system gives out of reach goes back; on x86 every block reaches.
    EXPECT_EQ(pool.acquire(near + 0x100000000), nullptr);
    EXPECT_EQ(pool.blocks(), 2u);
    os.mode = arch::x86;
    EXPECT_NE(pool.acquire(near + 0x100000000), nullptr);
}

TEST_F(InterceptTransaction, OneTransactionAtATimeOwnedByTheThreadThatBeganIt) {
    EXPECT_EQ(hooks.attach(slot_of(first_original), as_ptr(times_ten)), error_invalid_operation);
    EXPECT_EQ(hooks.commit(), error_invalid_operation);
    EXPECT_EQ(hooks.abort(), error_invalid_operation);
    ASSERT_EQ(hooks.begin(), no_error);
    EXPECT_EQ(hooks.begin(), error_invalid_operation);
    os.thread_id = 2;
    EXPECT_EQ(hooks.begin(), error_invalid_operation);
    EXPECT_EQ(hooks.attach(slot_of(first_original), as_ptr(times_ten)), error_invalid_operation);
    EXPECT_EQ(hooks.update_thread(worker), error_invalid_operation);
    EXPECT_EQ(hooks.commit(), error_invalid_operation);
    os.thread_id = 1;
    EXPECT_EQ(hooks.abort(), no_error);

    // Detaching what is not attached, or with another detour, is refused.
    EXPECT_EQ(both(&engine::detach), error_invalid_block);
    EXPECT_EQ(hooks.commit(), error_invalid_block);
    ASSERT_EQ(both(&engine::attach), no_error);
    ASSERT_EQ(hooks.commit(), no_error);
    ASSERT_EQ(hooks.begin(), no_error);
    EXPECT_EQ(hooks.detach(slot_of(first_original), as_ptr(plus_hundred)), error_invalid_block);
    EXPECT_EQ(hooks.abort(), no_error);
    EXPECT_EQ(first(1), 20) << "a refused detach leaves the hook in place";
}

TEST_F(InterceptTransaction, NothingChangesUnlessTheWholeTransactionCommits) {
    int_fn tiny = reinterpret_cast<int_fn>(os.place({0xC3, 0x00, 0x00, 0x00, 0x00}, 0x200));
    void* null_fn = nullptr;
    const auto attach_both = [this] { return both(&engine::attach); };
    const std::pair<long, std::function<long()>> cases[] = {
        {no_error, [&] { return attach_both() != no_error ? -1 : hooks.abort(); }},
        // A failed attach: later calls give the same error, and so does the commit.
        {error_invalid_block,
         [&] {
             static_cast<void>(attach_both());
             EXPECT_EQ(hooks.attach(slot_of(tiny), as_ptr(times_ten)), error_invalid_block);
             EXPECT_EQ(hooks.update_thread(worker), error_invalid_block);
             return hooks.commit();
         }},
        {error_invalid_handle,
         [&] {
             static_cast<void>(attach_both());
             EXPECT_EQ(hooks.attach(&null_fn, as_ptr(times_ten)), error_invalid_handle);
             return hooks.commit();
         }},
        {error_not_enough_memory,
         [&] {
             os.faults().fail("allocate_near", os.faults().calls("allocate_near") + 1);
             EXPECT_EQ(attach_both(), error_not_enough_memory);
             return hooks.commit();
         }},
        // The second target cannot be made writable: the first is not written either.
        {5,
         [&] {
             os.faults().fail("make_writable", os.faults().calls("make_writable") + 2, 5);
             static_cast<void>(attach_both());
             return hooks.commit();
         }},
        // The second thread cannot be suspended: the first is resumed.
        {5,
         [&] {
             os.faults().fail("suspend", os.faults().calls("suspend") + 2, 5);
             static_cast<void>(both(&engine::attach, {worker, reinterpret_cast<void*>(0x48)}));
             return hooks.commit();
         }},
        // A target changed between attach and commit.
        {error_invalid_data,
         [&] {
             static_cast<void>(attach_both());
             os.place({0x90}, 0x100);
             const long e = hooks.commit();
             os.place(twice, 0x100);
             return e;
         }},
    };
    for (const auto& [code, run] : cases) {
        EXPECT_EQ(run(), code);
        expect_unhooked();
        EXPECT_TRUE(os.blocks.empty()) << "the transaction's blocks went back";
        EXPECT_EQ(hooks.begin(), no_error) << "the transaction is over";
        EXPECT_EQ(hooks.abort(), no_error);
    }
}

// Threads that no transaction enlists call the target. The detour calls the original
// through the saved pointer, which must never lead back into the detour: not while an attach is
// half committed (the patch written, the commit not yet returned), nor while a detach puts the
// original bytes back under a caller that is inside the detour. The attach is checked at that
// very moment; a detach that gave the pointer back too early would leave only a short window,
// which the caller looping inside the detour finds now and then.
std::atomic<int_fn> looped_original{nullptr};
std::atomic<int> wrong{0};
std::atomic<bool> linger{false};
std::atomic<bool> lingering{false};
thread_local int detour_depth = 0;

int looped_times_ten(int x) {
    if (detour_depth > 0) {
        ++wrong;  // came back through the saved pointer: give up rather than recurse
        return -1;
    }
    ++detour_depth;
    const int result = looped_original.load()(x);
    while (linger) {
        lingering = true;
        wrong += looped_original.load()(x) != x + 1;
    }
    lingering = false;
    --detour_depth;
    return result * 10;
}

TEST_F(InterceptTransaction, ACallerThatIsNotEnlistedNeverComesBackIntoTheDetour) {
    looped_original = first;
    wrong = 0;
    auto** pointer = reinterpret_cast<void**>(&looped_original);
    std::vector<int> answers;
    for (int cycle = 0; cycle < 50; ++cycle) {
        // Attach: another thread calls in once the patch is written, before the commit returns.
        os.after_writing = [&] { std::thread([&] { answers.push_back(first(3)); }).join(); };
        ASSERT_EQ(hooks.begin(), no_error);
        ASSERT_EQ(hooks.attach(pointer, as_ptr(looped_times_ten)), no_error);
        ASSERT_EQ(hooks.commit(), no_error);
        os.after_writing = nullptr;

        // Detach while another thread is inside the detour, calling the original over and over.
        linger = true;
        std::thread inside([&] { answers.push_back(first(3)); });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!lingering && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        const bool caught = lingering;
        EXPECT_EQ(hooks.begin(), no_error);
        EXPECT_EQ(hooks.detach(pointer, as_ptr(looped_times_ten)), no_error);
        EXPECT_EQ(hooks.commit(), no_error);
        linger = false;
        inside.join();
        ASSERT_TRUE(caught);
        EXPECT_EQ(looped_original.load(), first);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(answers, std::vector<int>(100, 40)) << "every call went through the detour once";
}

}  // namespace
