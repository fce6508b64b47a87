#pragma once

#include <memory>

namespace quorvel::transport {

class Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace quorvel::transport
