#pragma once

#include <Python.h>

#include "InterpreterExit.hpp"

namespace quenfold::orvalis::python {

// Releases the interpreter lock for as long as it lives, so that other
// Python threads run while the library waits; takes it back at the end, or
// parks the thread when the interpreter is ending (InterpreterExit).
class LockReleased {
  public:
    LockReleased() : saved_(PyEval_SaveThread()) {}
    ~LockReleased() { InterpreterExit::takeLockBack(saved_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

  private:
    PyThreadState* saved_;
};

}  // namespace quenfold::orvalis::python
