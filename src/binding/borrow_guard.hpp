#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/error_texts.hpp"

namespace zarn::python {

// The access counter of one limiter object: 0 when unused, n > 0 while n
// readers hold it, -1 while one processing call holds it exclusively.
using BorrowFlag = std::atomic<std::int64_t>;

// A borrow of the object for the life of the guard, refused at once (never
// waited for) with RuntimeError: a shared one ("Already mutably borrowed")
// while a processing call holds the object, an exclusive one ("Already
// borrowed") while anybody does.
class Borrow {
public:
    Borrow(BorrowFlag& flag, bool exclusive) noexcept : flag_(&flag), exclusive_(exclusive) {
        std::int64_t seen = exclusive ? 0 : flag.load();
        if (!(exclusive ? flag.compare_exchange_strong(seen, -1) : take_shared(seen))) {
            PyErr_SetString(PyExc_RuntimeError, exclusive ? error_texts::already_borrowed
                                                          : error_texts::already_mutably_borrowed);
            flag_ = nullptr;
        }
    }
    ~Borrow() {
        if (flag_ != nullptr) {
            exclusive_ ? flag_->store(0) : static_cast<void>(flag_->fetch_sub(1));
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    // False when the borrow was refused (and RuntimeError is set).
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    bool take_shared(std::int64_t readers) noexcept {
        while (readers != -1) {
            if (flag_->compare_exchange_weak(readers, readers + 1)) {
                return true;
            }
        }
        return false;
    }

    BorrowFlag* flag_;
    bool exclusive_;
};

}  // namespace zarn::python
