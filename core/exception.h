// The framework's base exception: a message text and nothing else.
#pragma once

#include <exception>
#include <string>

// Every failure in the program is an Exception or derives from it, so one
// handler for Exception catches them all. The message is CP932 text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A conversion or assignment the framework cannot perform.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// An operation not valid in the object's current state.
class EInvalidOperation : public Exception {
public:
    using Exception::Exception;
};
