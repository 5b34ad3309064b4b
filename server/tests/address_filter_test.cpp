#include "address_filter.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// Loads ALLOW_CLIENTS = value (nullptr: unset); the listing goes to stdout.
int load(const char* value) {
  if (value == nullptr)
    unsetenv("ALLOW_CLIENTS");
  else
    setenv("ALLOW_CLIENTS", value, 1);
  int rc = load_valid_entries();
  unsetenv("ALLOW_CLIENTS");
  return rc;
}

struct FilterCase {
  const char* allow;  // nullptr: variable not set
  const char* client;
  int admitted;
};

TEST(AddressFilter, AdmitsAndRejects) {
  const FilterCase cases[] = {
      {nullptr, "192.168.2.1", 1},
      {"192.168.1.0/255.255.255.0", "192.168.1.77", 1},
      {"192.168.1.0/255.255.255.0", "192.168.2.1", 0},
      {"192.168.1.0/255.255.255.0", "127.0.0.1", 1},
      // Only the text 127.0.0.1 is always admitted; other loopbacks are filtered.
      {"192.168.1.0/255.255.255.0", "127.0.0.3", 0},
      {"127.0.0.0/255.0.0.0", "127.0.0.3", 1},
      // Bits outside the mask: no client can match.
      {"192.168.1.5/255.255.255.0", "192.168.1.5", 0},
      {"10.0.0.0/255.0.0.0 172.16.0.0/255.240.0.0", "10.20.30.40", 1},
      {"10.0.0.0/255.0.0.0 172.16.0.0/255.240.0.0", "172.31.255.1", 1},
      {"10.0.0.0/255.0.0.0 172.16.0.0/255.240.0.0", "172.32.0.1", 0},
      {"10.0.0.0/255.0.0.0", "not-an-address", 0},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(std::string(c.allow ? c.allow : "(unset)") + " <- " + c.client);
    load(c.allow);
    EXPECT_EQ(validate_ip_address(c.client), c.admitted);
  }
}

TEST(AddressFilter, LoadResultAndList) {
  EXPECT_EQ(load(nullptr), 0);
  EXPECT_TRUE(subnet_list.empty());
  EXPECT_EQ(load("10.0.0.0/255.0.0.0 172.16.0.0/255.240.0.0"), 1);
  ASSERT_EQ(subnet_list.size(), 2u);
  EXPECT_EQ(subnet_list[0], subnet("10.0.0.0", "255.0.0.0"));
  EXPECT_EQ(subnet_list[1], subnet("172.16.0.0", "255.240.0.0"));
}

TEST(AddressFilter, RejectsUnusableConfigurations) {
  const char* bad[] = {
      "",                                          // one empty entry
      "10.0.0.0/255.0.0.0  172.16.0.0/255.240.0.0",  // two blanks
      " 10.0.0.0/255.0.0.0",                       // leading blank
      "10.0.0.0/255.0.0.0 ",                       // trailing blank
      "10.0.0.0",                                  // no mask
      "10.0.0/255.0.0.0",                          // not dotted quad
      "10.0.0.0/255.0.0.x",
      "host.example/255.0.0.0",
  };
  for (const char* value : bad) {
    SCOPED_TRACE(std::string("'") + value + "'");
    EXPECT_EQ(load(value), -1);
    EXPECT_TRUE(subnet_list.empty());
  }
  std::string too_long;
  while (too_long.size() <= 1023) too_long += "10.0.0.0/255.0.0.0 ";
  too_long += "10.0.0.0/255.0.0.0";
  EXPECT_EQ(load(too_long.c_str()), -1);
}

}  // namespace
