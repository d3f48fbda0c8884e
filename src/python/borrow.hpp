// Shared / exclusive borrows of a Python object's native state, for exactly one call.
//
// The interpreter lock serialises every change of the flag; a borrow taken before the lock
// is released keeps other threads out of the object until the call returns.
#pragma once

#include "python/error.hpp"

namespace veltrix::py {

struct BorrowFlag {
    Py_ssize_t readers = 0;  // > 0: shared borrows; -1: one exclusive borrow
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.readers < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++flag_.readers;
    }
    ~SharedBorrow() { --flag_.readers; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.readers != 0) raise(PyExc_RuntimeError, "Already borrowed");
        flag_.readers = -1;
    }
    ~ExclusiveBorrow() { flag_.readers = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace veltrix::py
