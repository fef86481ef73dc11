#pragma once
// Our exception types. class_name() is what users see in "(원인: ReadTimeout: …)".
#include <stdexcept>
#include <string>

namespace tessaro {

// Thrown where a cancelled call would start new work (core/call_context.hpp). It
// is not one of our Error kinds, so the error wrappers let it pass and the host
// drops the call's reply.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "call cancelled"; }
};

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual const char* class_name() const { return "Error"; }
};

// Transport and HTTP-status failures. Timeouts and connect errors are special
// cases of HTTPError, so catch them first.
class HTTPError : public Error {
 public:
  using Error::Error;
  const char* class_name() const override { return "HTTPError"; }
};
class TransportError : public HTTPError {
 public:
  using HTTPError::HTTPError;
  const char* class_name() const override { return "TransportError"; }
};
class TimeoutException : public TransportError {
 public:
  using TransportError::TransportError;
  const char* class_name() const override { return "TimeoutException"; }
};
class ReadTimeout : public TimeoutException {
 public:
  using TimeoutException::TimeoutException;
  const char* class_name() const override { return "ReadTimeout"; }
};
class ConnectTimeout : public TimeoutException {
 public:
  using TimeoutException::TimeoutException;
  const char* class_name() const override { return "ConnectTimeout"; }
};
class ConnectError : public TransportError {
 public:
  using TransportError::TransportError;
  const char* class_name() const override { return "ConnectError"; }
};
class RemoteProtocolError : public TransportError {
 public:
  using TransportError::TransportError;
  const char* class_name() const override { return "RemoteProtocolError"; }
};
class HTTPStatusError : public HTTPError {
 public:
  HTTPStatusError(const std::string& what, long status) : HTTPError(what), status_(status) {}
  const char* class_name() const override { return "HTTPStatusError"; }
  long status() const { return status_; }
  // 404 or 410: the address is gone or moved (a retired endpoint answers so for
  // every code). It never says the asked item does not exist.
  bool endpoint_gone() const { return status_ == 404 || status_ == 410; }

 private:
  long status_;
};

// A page of the Korean web source was fetched but could not be understood.
// Made where a source gives up on a page, so the call's ledger counts that
// answer as a failure, not as data.
class NaverParseError : public Error {
 public:
  explicit NaverParseError(const std::string& what);
  const char* class_name() const override { return "NaverParseError"; }
};

// Generic kinds for our own code paths.
class ValueError : public Error {
 public:
  using Error::Error;
  const char* class_name() const override { return "ValueError"; }
};
class KeyError : public Error {
 public:
  using Error::Error;
  const char* class_name() const override { return "KeyError"; }
};

// The class name of any exception: ours by class_name(), standard ones mapped to
// the names users of the replies know (ValueError, KeyError, ...).
std::string exception_class_name(const std::exception& e);

}  // namespace tessaro
