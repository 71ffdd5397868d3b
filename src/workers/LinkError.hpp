#pragma once

// The library's errors, one type per condition. Each is a std::runtime_error
// whose what() is the exact text users see (the Python module passes it on
// as a RuntimeError).
#include <stdexcept>
#include <string>

namespace quenfold::orvalis {

// No attached dongle or robot has the id a URI names.
class NoSuchDevice : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A connection that the registry or a worker cannot take on: its settings
// clash with a connection already served, or a robot carries one already.
class LinkConflict : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A connection used in a child of fork() that the parent opened: its worker
// and registry stayed with the parent.
class InheritedConnection : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The failure of the worker that served a connection, given to every later
// call on the connection.
class WorkerFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace quenfold::orvalis
