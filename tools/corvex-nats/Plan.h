#pragma once
// A deployment's messaging servers from a short description: the head office (one server, or a
// cluster of three or more that keeps the streams with three copies) and its sites, whose
// servers are leaf nodes of the head office's. One messaging directory per server, all under
// one certificate authority, with the links' credentials and the clients' URLs.
//
// The description, one server a line ("#" begins a comment):
//
//   authority DIR                     optional: ca.pem and ca-key.pem of an existing authority
//   head NAME host=H [listen=A] [port=P] [cluster-port=P] [leaf-port=P] [store=D]
//   site NAME host=H [listen=A] [port=P] [store=D]
//
// host is the name the others reach the server by (it goes into the certificate and the URLs);
// listen the address it binds (default 0.0.0.0); port 4222, cluster-port 6222 and leaf-port
// 7422 by default; store the JetStream directory (default the server's own directory).
#include <string>
#include <vector>

namespace corvexnats {

struct PlannedServer
{
  std::string name;
  std::string host;
  std::string listen = "0.0.0.0";
  int port = 4222;
  int clusterPort = 6222;
  int leafPort = 7422;
  std::string store;
  int line = 0;
};

struct Plan
{
  std::string authority;  // empty: a new authority, kept (its key) in the first head's directory
  std::vector<PlannedServer> heads;
  std::vector<PlannedServer> sites;
};

// The JetStream domain of the head office; each site's domain is its name.
inline constexpr char kHeadDomain[] = "head";

// std::invalid_argument naming the line and what is wrong.
Plan ParsePlan(const std::string& text);

// Writes OUT/<name>/ for every server (OUT is created; a server directory that exists already is
// refused before anything is written). Returns the directories in plan order, heads first.
std::vector<std::string> WritePlan(const Plan& plan, const std::string& out);

// The nodes of a cluster know the same clients: after an enrolment or removal in one node's
// directory, its register, users and seeds are copied into another's (which is then reloaded).
void ShareClients(const std::string& from, const std::string& to);

}  // namespace corvexnats
