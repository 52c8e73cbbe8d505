#pragma once

#include <stdexcept>
#include <string>

// An error whose text is meant for the user (shown on the presets page or
// reported by the host), as opposed to a diagnostic.
class UserPresentException : public std::runtime_error
{
public:
    explicit UserPresentException (const std::string& text) : std::runtime_error (text) {}
};
