#pragma once
// What flows through computer discovery: domains to browse, and computers to query, each with
// the account for the computers that refuse an anonymous query.
#include <string>

#include <string.h>

#include "businesslogic/entities/Computer.h"
#include "managementservice/ProtectedFlaggedQueue.h"

// An account's password, wiped from memory when it goes.
struct AccountCredentials
{
  std::wstring username;
  std::wstring password;
  AccountCredentials() = default;
  AccountCredentials(std::wstring user, std::wstring pass) : username(std::move(user)), password(std::move(pass)) {}
  AccountCredentials(const AccountCredentials&) = default;
  AccountCredentials(AccountCredentials&&) = default;
  AccountCredentials& operator=(const AccountCredentials&) = default;
  AccountCredentials& operator=(AccountCredentials&&) = default;
  ~AccountCredentials() { explicit_bzero(password.data(), password.size() * sizeof(wchar_t)); }
};

struct BrowseDomainInfo
{
  std::wstring domain;
  AccountCredentials account;
};

struct DetailComputerInfo
{
  CComputer computer;
  AccountCredentials account;
};

using BrowseQueue = tProtectedFlaggedQueue<BrowseDomainInfo>;
using DetailsQueue = tProtectedFlaggedQueue<DetailComputerInfo>;
