#pragma once
// Computer discovery: one browse thread takes domains from the browse queue and enters their
// computers in the database; five details threads take the computers whose operating system is
// not known from the details queue and ask each for its operating system and comment. The
// shared DiscoveryState counts the work and tells the listeners.
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "managementservice/Thread.h"
#include "managementservice/discovery/DiscoveryQueues.h"
#include "managementservice/discovery/DiscoveryState.h"
#include "managementservice/discovery/NetworkEnumeration.h"

// The network calls discovery makes; the real ones by default.
struct DiscoveryNetwork
{
  std::function<HRESULT(const std::wstring& parent, std::vector<std::wstring>& children)> getChildEntities =
    &NetworkGetChildEntities;
  std::function<bool(const std::wstring& computer, std::wstring& comment, PTLDB::OperatingSystem& os, const wchar_t* user,
                     const wchar_t* password)>
    getComputerDescriptionAndOS = &GetComputerDescriptionAndOS;
};

class BrowseHandler : public Thread, public StoppableHandler
{
public:
  BrowseHandler(BrowseQueue& browseQueue, DetailsQueue& detailsQueue, DiscoveryState& state,
                std::shared_ptr<const DiscoveryNetwork> network);
  // Stops the thread and waits for it, so that it never outlives the members it uses.
  ~BrowseHandler() override;
  // The names below the domain, as "\\NAME"; an enumeration failure leaves what was found.
  std::vector<std::wstring> BrowseDomain(const std::wstring& domain);
  // Enters each computer and keeps those of unknown operating system for the details queue.
  void QueueComputers(const std::wstring& domain, const std::vector<std::wstring>& names, const AccountCredentials& account);

protected:
  void ThreadFunc() override;

private:
  BrowseQueue& m_browseQueue;
  DetailsQueue& m_detailsQueue;
  DiscoveryState& m_state;
  std::shared_ptr<const DiscoveryNetwork> m_network;
  std::list<DetailComputerInfo> m_pending;
};

class DetailsHandler : public Thread, public StoppableHandler
{
public:
  DetailsHandler(DetailsQueue& detailsQueue, DiscoveryState& state, std::shared_ptr<const DiscoveryNetwork> network);
  // Stops the thread and waits for it (after the query in hand, if any).
  ~DetailsHandler() override;

protected:
  void ThreadFunc() override;

private:
  void Query(DetailComputerInfo& info);
  DetailsQueue& m_detailsQueue;
  DiscoveryState& m_state;
  std::shared_ptr<const DiscoveryNetwork> m_network;
};

class ComputerDiscovery
{
public:
  ComputerDiscovery(DiscoveryState& state, BrowseQueue& browseQueue, DetailsQueue& detailsQueue,
                    std::shared_ptr<const DiscoveryNetwork> network = std::make_shared<DiscoveryNetwork>());
  ~ComputerDiscovery();
  ComputerDiscovery(const ComputerDiscovery&) = delete;
  ComputerDiscovery& operator=(const ComputerDiscovery&) = delete;

  void AddDetailsHandler();
  // Starts every details thread, then the browse thread; std::runtime_error when one cannot start.
  void Start();
  // Stops the browse thread, then signals every details thread before waiting for each.
  void Stop();
  std::size_t DetailsHandlerCount() const { return m_detailsHandlers.size(); }

private:
  DiscoveryState& m_state;
  DetailsQueue& m_detailsQueue;
  std::shared_ptr<const DiscoveryNetwork> m_network;
  std::unique_ptr<BrowseHandler> m_browseHandler;
  std::vector<std::unique_ptr<DetailsHandler>> m_detailsHandlers;
  DWORD m_creator;
};

// What the service module holds for discovery, in this order of construction: the state, the
// browse queue, the details queue and the engine built on them. The search objects of the
// console find it through Current() while it lives.
class DiscoveryEngine
{
public:
  explicit DiscoveryEngine(std::shared_ptr<const DiscoveryNetwork> network = std::make_shared<DiscoveryNetwork>());
  ~DiscoveryEngine();
  DiscoveryEngine(const DiscoveryEngine&) = delete;
  DiscoveryEngine& operator=(const DiscoveryEngine&) = delete;

  static DiscoveryEngine* Current();

  const std::shared_ptr<const DiscoveryNetwork> network;
  DiscoveryState state;
  BrowseQueue browseQueue;
  DetailsQueue detailsQueue;
  ComputerDiscovery discovery;
};
