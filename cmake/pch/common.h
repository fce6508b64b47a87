// Precompiled header for the targets without Asio.
#pragma once
#include <boost/algorithm/string.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <memory>
#include <string>
#include <vector>
#include <map>
