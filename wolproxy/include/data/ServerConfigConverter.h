#pragma once

#include "wolproxy/include/data/ServerConfig.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <string>

namespace quorvel::data::wolproxy {

// Service settings to and from the "server" element of the configuration file.
class ServerConfigConverter {
 public:
  // Settings at their default are left out, so a later change of a default
  // reaches every file that never set the value.
  static void toPropertyTree(boost::property_tree::ptree& tree, const ServerConfigPtr& config);
  // Throws when a numeric setting or a read-limit switch cannot be converted;
  // the format version is accepted for files of later versions and not used yet.
  static ServerConfigPtr fromPropertyTree(const boost::property_tree::ptree& tree, const std::string& osInfo,
                                          unsigned int version);
};

}  // namespace quorvel::data::wolproxy
