// The shared kit of the fakes: a handle table that checks every handle is closed exactly once, a
// fault plan that makes the n-th call of an operation fail, and the base every fake derives from.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "stdext/expected.h"
#include "stdext/path.h"
#include "winapi/win_error_category.h"

namespace fakes {

// The form in which the fakes store paths: Windows' own comparison (case, separators) and a
// drive path in the "\\?\" form naming the same object as without it.
inline std::wstring path_key(std::wstring_view path) {
    constexpr std::wstring_view extended = L"\\\\?\\";
    if (path.starts_with(extended) && path.size() > extended.size() + 1 &&
        path[extended.size() + 1] == L':') {
        path.remove_prefix(extended.size());
    }
    return stdext::path::normal_form(path);
}

// Hands out handle values and checks that each is closed exactly once. Leaks and bad closes are
// test failures when the table is destroyed.
class handle_table {
public:
    handle_table() = default;
    handle_table(const handle_table&) = delete;
    handle_table& operator=(const handle_table&) = delete;
    ~handle_table() {
        for (const auto& [value, kind] : open_) {
            ADD_FAILURE() << "handle " << value << " (" << kind << ") was never closed";
        }
        for (const auto value : bad_closes_) {
            ADD_FAILURE() << "handle " << value << " was closed twice or never opened";
        }
    }

    std::uintptr_t open(std::string kind) {
        next_ += 4;
        open_.emplace(next_, std::move(kind));
        return next_;
    }
    // False (and a failure at the end) for a handle that is not open.
    bool close(std::uintptr_t value) {
        if (open_.erase(value) == 0) {
            bad_closes_.insert(value);
            return false;
        }
        return true;
    }
    bool is_open(std::uintptr_t value) const { return open_.count(value) != 0; }

private:
    std::uintptr_t next_ = 0x1000;
    std::map<std::uintptr_t, std::string> open_;
    std::multiset<std::uintptr_t> bad_closes_;
};

// Counts the calls of every operation and fails the ones the test chose: the n-th call of one
// operation, every call of it, or the n-th call of any operation (a fault sweep).
class fault_plan {
public:
    // Calls are counted from 1.
    void fail(std::string_view operation, int nth, std::uint32_t code = winapi::error_gen_failure) {
        planned_[std::string(operation)][nth] = code;
    }
    void fail_always(std::string_view operation, std::uint32_t code = winapi::error_gen_failure) {
        always_[std::string(operation)] = code;
    }
    void fail_call(int nth_overall, std::uint32_t code = winapi::error_gen_failure) {
        nth_overall_ = nth_overall;
        overall_code_ = code;
    }
    void clear() {
        planned_.clear();
        always_.clear();
        nth_overall_ = 0;
    }

    // Counts a call of operation and returns the error it is to fail with, if any.
    std::optional<stdext::error> call(std::string_view operation) {
        const std::string op(operation);
        const int nth = ++calls_[op];
        ++total_;
        std::optional<std::uint32_t> code;
        if (auto a = always_.find(op); a != always_.end()) {
            code = a->second;
        }
        if (auto p = planned_.find(op); p != planned_.end()) {
            if (auto n = p->second.find(nth); n != p->second.end()) {
                code = n->second;
            }
        }
        if (total_ == nth_overall_) {
            code = overall_code_;
        }
        if (!code) {
            return std::nullopt;
        }
        return winapi::win_failure(*code, op + " failed");
    }
    // Calls of every operation so far.
    int total() const { return total_; }
    int calls(std::string_view operation) const {
        auto it = calls_.find(std::string(operation));
        return it == calls_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, std::map<int, std::uint32_t>> planned_;
    std::map<std::string, std::uint32_t> always_;
    std::map<std::string, int> calls_;
    int total_ = 0;
    int nth_overall_ = 0;
    std::uint32_t overall_code_ = 0;
};

// The base of every fake: its calls count in a fault plan, its own or one shared by the whole
// fake machine.
class fake_base {
public:
    fake_base() = default;
    explicit fake_base(fault_plan& plan) noexcept : plan_(&plan) {}
    fault_plan& faults() noexcept { return *plan_; }
    void share_faults(fault_plan& plan) noexcept { plan_ = &plan; }

protected:
    // Counts a call of operation; the planned error for it, if any.
    std::optional<stdext::error> check(std::string_view operation) {
        return plan_->call(operation);
    }
    // Counts a call of operation: its planned error, else what make() gives.
    template <class Make>
    auto answer(std::string_view operation, Make&& make) {
        const auto e = check(operation);
        return (e ? stdext::expected<void>(stdext::unexpected(*e)) : stdext::expected<void>())
            .transform(std::forward<Make>(make));
    }

private:
    fault_plan own_;
    fault_plan* plan_ = &own_;
};

}  // namespace fakes
