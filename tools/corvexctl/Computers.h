#pragma once
// corvexctl's computer commands: they read the database named in the registry through the
// business layer.
#include <string>
#include <vector>

#include "businesslogic/entities/Computer.h"

namespace corvexctl {

// Every computer, by name.
CComputerList AllComputers();
// Rows as columns padded to their widest cell, the last one not padded.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

// "computers": every computer with its main details, by name.
int Computers(const std::vector<std::string>& args);
// "computer ID": everything the database holds about one computer; an ID that is not a number
// or not a computer's gives exit code 2.
int Computer(const std::vector<std::string>& args);

}  // namespace corvexctl
