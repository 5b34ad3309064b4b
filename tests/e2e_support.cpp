#include "e2e_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "line_io.h"

E2EClient::E2EClient(ServerProcess* server, int timeout_ms)
    : server_(server), session_("127.0.0.1", server->port(), timeout_ms) {}

CallPrint E2EClient::call(const std::string& module, const std::string& function,
                          const std::vector<std::string>& args, const std::string& stamp) {
  CallPrint p;
  DefinitionBook book;
  auto typed = typing_.find(module);
  std::string path = typed != typing_.end() ? typed->second : server_->def_path(module);
  if (!book.read_file(path, &p.error) ||
      !book.lookup(function, &p.sig, &p.error))
    return p;
  std::vector<Value> values(args.size());
  for (size_t i = 0; i < args.size() && i < p.sig.params.size(); i++)
    if (!parse_value(p.sig.params[i], args[i], &values[i], &p.error)) return p;
  std::string s = stamp;
  if (s.empty() && !session_.module_stamp(module, &s, &p.error)) return p;
  CallOutcome out;
  if (!session_.call(module, p.sig, values, s, &out, &p.error)) return p;
  p.ok = true;
  p.out_of_date = out.out_of_date;
  p.key = out.key;
  std::vector<const ValueShape*> shapes = p.sig.outbound_params();
  for (size_t i = 0; i < out.outbound.size(); i++)
    p.outbound.push_back(format_value(*shapes[i], out.outbound[i]));
  p.result = format_value(p.sig.result, out.result);
  return p;
}

std::vector<std::string> E2EClient::deliveries(const CallPrint& call, int count, int timeout_ms) {
  std::vector<std::string> out;
  std::vector<const ValueShape*> shapes = call.sig.outbound_params();
  while (static_cast<int>(out.size()) < count) {
    Delivery d;
    std::string error;
    if (!session_.next_delivery(call.key, timeout_ms, &d, &error)) {
      out.push_back("ERROR: " + error);
      break;
    }
    if (d.kind == Delivery::END) {
      out.push_back("END");
      break;
    }
    std::string text;
    for (size_t i = 0; i < d.outbound.size() && i < shapes.size(); i++)
      text += format_value(*shapes[i], d.outbound[i]) + " ; ";
    out.push_back(text + format_value(call.sig.result, d.value));
  }
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_gets(const std::string& path, const std::string& word, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 100) {
    if (read_file(path).find(word) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string command_output(const std::string& command, const std::string& errors_path) {
  FILE* p = popen((command + " 2>" + errors_path).c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int status = pclose(p);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    out += "rc=" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " +
           read_file(errors_path);
  return out;
}

RawClient::RawClient(int port, const char* from) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local = {}, server = {};
  local.sin_family = server.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  server.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0)
    close_now();
}

void RawClient::send(const std::string& line) { write_line(fd_, line.c_str(), 5000); }

void RawClient::send_cut(const std::string& text) {
  ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
}

std::string RawClient::reply(int timeout_ms) {
  char line[1024];
  int rc = read_line(fd_, line, sizeof(line), timeout_ms);
  if (rc == kLineTimedOut) return "<no reply>";
  return rc >= 1 ? line : "<closed>";
}

void RawClient::leave() { shutdown(fd_, SHUT_WR); }

void RawClient::close_now() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}
