#include "tests/unit/fake_http.h"

#include <cstdlib>

namespace vorn::testing {

std::string Pattern(size_t size, unsigned seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>((x >> 16) & 0xFF);
  }
  return out;
}

FakeNetwork::Responder ServeFile(const FakeFile& file) {
  return [file](const std::string& request) {
    std::string answer;
    const std::string& body = file.content;
    size_t range_at = request.find("Range: bytes=");
    std::string head = "Last-Modified: " + file.last_modified + "\r\n";
    if (!file.etag.empty()) head += "ETag: " + file.etag + "\r\n";
    if (file.ranges && range_at != std::string::npos) {
      long first = std::strtol(request.c_str() + range_at + 13, nullptr, 10);
      size_t dash = request.find('-', range_at + 13);
      long last = static_cast<long>(body.size()) - 1;
      if (dash + 1 < request.size() && request[dash + 1] != '\r') {
        last = std::strtol(request.c_str() + dash + 1, nullptr, 10);
      }
      if (first >= static_cast<long>(body.size())) {
        answer =
            "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n";
      } else {
        std::string part = body.substr(first, last - first + 1);
        answer = "HTTP/1.1 206 Partial Content\r\n" + head +
                 "Content-Range: bytes " + std::to_string(first) + "-" +
                 std::to_string(last) + "/" + std::to_string(body.size()) +
                 "\r\nContent-Length: " + std::to_string(part.size()) +
                 "\r\n\r\n" + part + file.trailing;
      }
    } else {
      answer = "HTTP/1.1 200 OK\r\n" + head +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body;
    }
    SocketScript script;
    // The probe's answer always comes whole: it reads every piece as a line
    // of its own.
    bool probe = request.find("Range: bytes=100-\r\n") != std::string::npos;
    if (file.piece == 0 || probe) {
      script.chunks.push_back(answer);
    } else {
      for (size_t at = 0; at < answer.size(); at += file.piece) {
        script.chunks.push_back(answer.substr(at, file.piece));
      }
    }
    return script;
  };
}

}  // namespace vorn::testing
