// The one exception type of the gathering code: it carries a UTF-16
// message. Inside a module failures travel as Error; the driver's guard per
// row catches them.
#pragma once

#include <exception>
#include <string>

namespace pelmo {

class Error : public std::exception {
public:
    explicit Error(std::wstring message);
    const std::wstring& Message() const { return m_message; }
    const char* what() const noexcept override { return m_narrow.c_str(); }

private:
    std::wstring m_message;
    std::string m_narrow;
};

}  // namespace pelmo
