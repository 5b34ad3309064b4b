#include "address_filter.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

std::vector<subnet> subnet_list;

static const size_t kMaxValue = 1023;

static bool is_dotted_ipv4(const std::string& text) {
  in_addr a;
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// Splits one "address/mask" entry; prints why and returns false if unusable.
static bool parse_entry(const std::string& entry, subnet* out) {
  if (entry.empty()) {
    fprintf(stderr, "ALLOW_CLIENTS: empty entry (two blanks in a row, or a blank at either end)\n");
    return false;
  }
  size_t slash = entry.find('/');
  if (slash == std::string::npos) {
    fprintf(stderr, "ALLOW_CLIENTS: entry '%s' has no '/' between address and mask\n",
            entry.c_str());
    return false;
  }
  out->address = entry.substr(0, slash);
  out->mask = entry.substr(slash + 1);
  if (!is_dotted_ipv4(out->address) || !is_dotted_ipv4(out->mask)) {
    fprintf(stderr, "ALLOW_CLIENTS: entry '%s' is not a dotted IPv4 address/mask pair\n",
            entry.c_str());
    return false;
  }
  return true;
}

static void print_rule() {
  char line[81];
  memset(line, '-', 80);
  line[80] = '\0';
  printf("%s\n", line);
}

int load_valid_entries() {
  subnet_list.clear();
  const char* value = getenv("ALLOW_CLIENTS");
  if (value == nullptr) return 0;
  std::string text(value);
  if (text.size() > kMaxValue) {
    fprintf(stderr, "ALLOW_CLIENTS is longer than %d characters\n", static_cast<int>(kMaxValue));
    return -1;
  }

  std::vector<subnet> entries;
  size_t start = 0;
  for (;;) {
    size_t blank = text.find(' ', start);
    std::string entry = text.substr(start, blank == std::string::npos ? std::string::npos
                                                                      : blank - start);
    subnet s;
    if (!parse_entry(entry, &s)) return -1;
    entries.push_back(s);
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  subnet_list = entries;

  print_rule();
  printf("Valid Network Address / Mask\n");
  print_rule();
  for (const subnet& s : subnet_list) printf("%s / %s \n", s.address.c_str(), s.mask.c_str());
  print_rule();
  return 1;
}

int validate_ip_address(const char* ipadd) {
  if (subnet_list.empty()) return 1;
  if (strcmp(ipadd, "127.0.0.1") == 0) return 1;
  in_addr_t client = inet_addr(ipadd);
  for (const subnet& s : subnet_list) {
    in_addr_t mask = inet_addr(s.mask.c_str());
    in_addr_t network = inet_addr(s.address.c_str());
    if ((mask & client) == network) return 1;
  }
  return 0;
}
