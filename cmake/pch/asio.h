// Precompiled header for the targets built on Boost.Asio and OpenSSL.
#pragma once
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/signals2.hpp>
#include <boost/thread.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <memory>
#include <string>
#include <vector>
#include <deque>
#include <mutex>
