#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/error_texts.hpp"

namespace zarn::python {

// The access counter of one limiter object: 0 when unused, n > 0 while n
// readers hold it, -1 while one processing call holds it exclusively.
using BorrowFlag = std::atomic<std::int64_t>;

inline constexpr std::int64_t exclusively_borrowed = -1;

// A shared borrow for the life of the guard. Taking it fails at once with
// RuntimeError "Already mutably borrowed" while the object is held
// exclusively; nobody ever waits for it.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
        std::int64_t readers = flag.load();
        do {
            if (readers == exclusively_borrowed) {
                PyErr_SetString(PyExc_RuntimeError, error_texts::already_mutably_borrowed);
                flag_ = nullptr;
                return;
            }
        } while (!flag.compare_exchange_weak(readers, readers + 1));
    }
    ~SharedBorrow() {
        if (flag_ != nullptr) {
            flag_->fetch_sub(1);
        }
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

    // False when the borrow was refused (and RuntimeError is set).
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// The exclusive borrow of a processing call for the life of the guard. It
// is refused at once with RuntimeError "Already borrowed" while any reader
// or another processing call holds the object.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
        std::int64_t unused = 0;
        if (!flag.compare_exchange_strong(unused, exclusively_borrowed)) {
            PyErr_SetString(PyExc_RuntimeError, error_texts::already_borrowed);
            flag_ = nullptr;
        }
    }
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) {
            flag_->store(0);
        }
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

    // False when the borrow was refused (and RuntimeError is set).
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

}  // namespace zarn::python
