// Exception classes of the file, text and update-check code. Failures are
// exceptions; the message loop shows what() to the user, so every message is
// complete text.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace chronark {

// Root of the exceptions here. The socket and HTTP layers raise their own
// (ESocketException, EHttpException, and std::invalid_argument for numbers),
// which do not derive from it: catch std::exception to catch every failure.
class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& Message) : std::runtime_error(Message) {}
  std::string Message() const { return what(); }
};

// A file operation failed. ErrorCode is the errno value (0 when none applies).
class EInOutError : public Exception {
public:
  EInOutError(const std::string& Message, int ErrorCode = 0)
      : Exception(Message), FErrorCode(ErrorCode) {}
  int ErrorCode() const { return FErrorCode; }

private:
  int FErrorCode = 0;
};

// Stream-style file errors with their fixed English texts
// ("Cannot create file %s", "Cannot open file %s").
class EStreamError : public EInOutError {
public:
  using EInOutError::EInOutError;
};
class EFCreateError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

// Writing an INI file failed: "Unable to write to %s".
class EIniFileException : public EInOutError {
public:
  using EInOutError::EInOutError;
};

// Text that is not the number it should be (InvalidIntegerText).
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

inline std::string InvalidIntegerText(std::string_view S) {
  return "'" + std::string(S) + "' is not a valid integer value";
}

}  // namespace chronark
