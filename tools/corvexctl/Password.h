#pragma once
#include <string>

namespace corvexctl {

// An account's password for a command: the first line of `file`, or, without a file, a line of
// standard input read with the echo off (after `prompt` on standard error) when it is a terminal.
// A carriage return ending the line is dropped. False when the file cannot be read.
bool ReadPassword(const std::string& file, const std::string& prompt, std::string& password);

}  // namespace corvexctl
