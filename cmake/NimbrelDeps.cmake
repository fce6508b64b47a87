# Third-party dependencies, all from Debian's packages.
set(Boost_NO_WARN_NEW_VERSIONS ON)
find_package(Boost 1.81 REQUIRED COMPONENTS
  program_options filesystem regex thread iostreams locale serialization date_time system)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LOG4CPLUS REQUIRED IMPORTED_TARGET log4cplus)

# Filesystem v3 and the classic Asio names are what the code is written against.
add_compile_definitions(BOOST_FILESYSTEM_VERSION=3 BOOST_BIND_GLOBAL_PLACEHOLDERS BOOST_ASIO_NO_TS_EXECUTORS_WARNING)

if(NIMBREL_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(NIMBREL_BENCH)
  find_package(benchmark REQUIRED)
endif()

# Every target of the project links all third-party libraries through this one
# interface target, so that all of them compile with the same definitions and
# can share one precompiled header.
add_library(nimbrel_deps INTERFACE)
target_link_libraries(nimbrel_deps INTERFACE
  Boost::program_options Boost::filesystem Boost::regex Boost::thread Boost::iostreams
  Boost::locale Boost::serialization Boost::date_time Boost::system
  OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB PkgConfig::LOG4CPLUS Threads::Threads)
target_include_directories(nimbrel_deps INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
# GoogleTest adds this to its users; everyone gets it so the test targets can share the header.
add_compile_definitions(GTEST_HAS_PTHREAD=1)

add_library(nimbrel_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
target_link_libraries(nimbrel_pch PRIVATE nimbrel_deps)
target_precompile_headers(nimbrel_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/asio.h ${PROJECT_SOURCE_DIR}/cmake/pch/common.h)

# Every library of the project is declared through this helper so that the
# include root and the warning set are the same everywhere.
function(nimbrel_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PCH" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    # An area whose code has not been written yet still links.
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} nimbrel_deps)
  if(ARG_PCH)
    target_precompile_headers(${name} REUSE_FROM nimbrel_pch)
  endif()
endfunction()
