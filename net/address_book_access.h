// What the request handlers need of the address book: one entry written
// (asynchronously, since it waits for the disk), one entry read.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace pelorin::net {

class AddressBookAccess {
 public:
  // `done` runs on the network thread with 0 once the entry is on disk, or -1
  // when the write failed and the file was left as it was.
  virtual void savedatabase(std::string name, std::string address,
                            std::function<void(int)> done) = 0;
  // 0 and at most 29 characters of the stored value, or -1 when the name is
  // absent or its value empty.
  virtual int searchip(std::string_view name, std::string& destination) = 0;

 protected:
  ~AddressBookAccess() = default;
};

}  // namespace pelorin::net
