// Client address filter: ALLOW_CLIENTS holds blank-separated "address/mask"
// pairs in dotted IPv4 form. Loaded once at start-up, read-only afterwards.
#ifndef VELMOR_SERVER_ADDRESS_FILTER_H_
#define VELMOR_SERVER_ADDRESS_FILTER_H_

#include <string>
#include <vector>

class subnet {
 public:
  std::string address;
  std::string mask;

  subnet() {}
  subnet(const std::string& a, const std::string& m) : address(a), mask(m) {}
  subnet(const subnet& other) = default;
  subnet& operator=(const subnet& other) = default;
  ~subnet() {}

  bool operator==(const subnet& o) const { return address == o.address && mask == o.mask; }
  bool operator<(const subnet& o) const {
    return address < o.address || (address == o.address && mask < o.mask);
  }
};

extern std::vector<subnet> subnet_list;

// Reads ALLOW_CLIENTS into subnet_list and lists the entries on stdout.
// Returns 0 when the variable is not set (everybody is admitted), 1 when it
// was read, and -1 when it is unusable: longer than 1023 characters, or an
// entry that is empty, lacks its "/" or is not dotted IPv4. The reason,
// naming the entry, is printed on stderr and subnet_list is left empty.
int load_valid_entries();

// 1 when the client at dotted address ipadd may connect, else 0.
int validate_ip_address(const char* ipadd);

#endif
