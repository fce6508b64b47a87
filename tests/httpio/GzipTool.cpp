// Compresses ("c") or decompresses ("d") standard input to standard output
// with the response writer's gzip functions.
#include <iostream>
#include <iterator>
#include <string>

#include "common/http/HttpGenerator.h"

int main(int argc, char** argv) {
  if (argc != 2 || (std::string(argv[1]) != "c" && std::string(argv[1]) != "d")) {
    std::cerr << "usage: httpio_gzip_tool c|d <input >output\n";
    return 2;
  }
  std::ios::sync_with_stdio(false);
  const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  try {
    const std::string output = std::string(argv[1]) == "c" ? quorvel::http::HttpGenerator::gzipCompress(input)
                                                           : quorvel::http::HttpGenerator::gzipDecompress(input);
    std::cout.write(output.data(), static_cast<std::streamsize>(output.size()));
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return std::cout.good() ? 0 : 1;
}
