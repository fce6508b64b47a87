# Third-party dependencies, all from Debian's packages.
set(Boost_NO_WARN_NEW_VERSIONS ON)
set(boost_components program_options filesystem regex thread iostreams locale serialization date_time system)
find_package(Boost 1.81 REQUIRED COMPONENTS ${boost_components})
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LOG4CPLUS REQUIRED IMPORTED_TARGET log4cplus)

# Filesystem v3 and the classic Asio names are what the code is written against.
add_compile_definitions(BOOST_FILESYSTEM_VERSION=3 BOOST_BIND_GLOBAL_PLACEHOLDERS BOOST_ASIO_NO_TS_EXECUTORS_WARNING)
# Each Boost target brings its own *_NO_LIB/*_DYN_LINK macro (meaningless on
# Linux); one project-wide pair instead keeps every target's macros alike, so
# that one precompiled header fits all of them.
get_property(imported_targets DIRECTORY PROPERTY IMPORTED_TARGETS)
foreach(target ${imported_targets})
  if(target MATCHES "^Boost::")
    set_property(TARGET ${target} PROPERTY INTERFACE_COMPILE_DEFINITIONS "")
  endif()
endforeach()
add_compile_definitions(BOOST_ALL_NO_LIB BOOST_ALL_DYN_LINK)

if(NIMBREL_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(NIMBREL_BENCH)
  find_package(benchmark REQUIRED)
endif()
# GoogleTest adds this to its users; everyone gets it so the test targets can share the header.
add_compile_definitions(GTEST_HAS_PTHREAD=1)

# Test and benchmark binaries may use any third-party library; the project's
# libraries link only what they use (see nimbrel_library).
add_library(nimbrel_deps INTERFACE)
target_link_libraries(nimbrel_deps INTERFACE
  Boost::headers Boost::program_options Boost::filesystem Boost::regex Boost::thread Boost::iostreams
  Boost::locale Boost::serialization Boost::date_time Boost::system
  OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB PkgConfig::LOG4CPLUS Threads::Threads)
target_include_directories(nimbrel_deps INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)

# Two shared precompiled headers: one for the code on Asio and OpenSSL, a
# lighter one for the rest. Built once each and reused by every library.
set(NIMBREL_PCH_asio ${PROJECT_SOURCE_DIR}/cmake/pch/asio.h ${PROJECT_SOURCE_DIR}/cmake/pch/common.h)
set(NIMBREL_PCH_common ${PROJECT_SOURCE_DIR}/cmake/pch/common.h)
foreach(kind asio common)
  add_library(nimbrel_pch_${kind} OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(nimbrel_pch_${kind} PRIVATE nimbrel_deps)
  target_precompile_headers(nimbrel_pch_${kind} PRIVATE ${NIMBREL_PCH_${kind}})
endforeach()

# nimbrel_library(<name> SOURCES <files...> [PUBLIC <targets...>] [PRIVATE <targets...>] [PCH asio|common])
# Every library of the project is declared through this helper so that the
# include root and the warning set are the same everywhere.
function(nimbrel_library name)
  cmake_parse_arguments(ARG "" "PCH" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  if(ARG_PCH)
    if(NOT TARGET nimbrel_pch_${ARG_PCH})
      message(FATAL_ERROR "${name}: unknown precompiled header '${ARG_PCH}'")
    endif()
    target_precompile_headers(${name} REUSE_FROM nimbrel_pch_${ARG_PCH})
  endif()
endfunction()
