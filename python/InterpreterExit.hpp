#pragma once

#include <Python.h>

namespace quenfold::orvalis::python {

// Keeps threads that come back from the library while the interpreter ends
// out of the interpreter. Python ends a thread that takes the interpreter
// lock back during finalisation from inside the frame that takes it, and our
// frames there cannot unwind: the process would abort. Such a thread is
// parked for good instead, and the process ends around it.
class InterpreterExit {
  public:
    // Registers the handler that the interpreter's exit runs first.
    static void watch();
    // Takes the interpreter lock back for a thread that released it with
    // PyEval_SaveThread, or parks the thread when the interpreter is ending.
    static void takeLockBack(PyThreadState* state);

  private:
    static void begin();
};

}  // namespace quenfold::orvalis::python
