#include "InterpreterExit.hpp"

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "base/NeverDestroyed.hpp"

namespace py = pybind11;

namespace quenfold::orvalis::python {
namespace {

struct ExitState {
    std::mutex mutex;
    bool ending = false;
    std::thread::id endingThread;  // the one that runs the exit
    std::size_t returning = 0;     // threads committed to taking the lock back
    std::condition_variable drained;
    std::condition_variable parked;  // never signalled
};

// Parked threads wait on it while the process exits: it is never destroyed.
ExitState& exitState() {
    static NeverDestroyed<ExitState> state;
    return state.get();
}

}  // namespace

void InterpreterExit::watch() {
    py::module_::import("atexit").attr("register")(py::cpp_function(&InterpreterExit::begin));
}

// Runs with the interpreter lock held, before the interpreter marks itself
// as finalising. From here on threads coming back from the library park;
// those that had already decided to take the lock back get it and leave
// first, so that none of them takes it during finalisation.
void InterpreterExit::begin() {
    ExitState& state = exitState();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.ending = true;
        state.endingThread = std::this_thread::get_id();
    }
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.drained.wait(lock, [&] { return state.returning == 0; });
    }
    PyEval_RestoreThread(saved);
}

void InterpreterExit::takeLockBack(PyThreadState* saved) {
    ExitState& state = exitState();
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        if (state.ending && std::this_thread::get_id() != state.endingThread) {
            state.parked.wait(lock, [] { return false; });
        }
        ++state.returning;
    }
    PyEval_RestoreThread(saved);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (--state.returning == 0) {
        state.drained.notify_all();
    }
}

}  // namespace quenfold::orvalis::python
