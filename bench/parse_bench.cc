// How long the downloader's parsers take on typical inputs.
#include <benchmark/benchmark.h>

#include <string>

#include "download/downloader.h"
#include "download/http_date.h"

namespace {

const vorn::platform::Env& Env() { return vorn::platform::Env::Default(); }

const char kAnswer[] =
    "HTTP/1.1 206 Partial Content\r\nServer: nginx/1.22.1\r\n"
    "Date: Tue, 08 Dec 2026 04:00:00 GMT\r\nContent-Type: "
    "application/octet-stream\r\n"
    "Content-Length: 3145628\r\nLast-Modified: Thu, 02 Jan 2020 03:04:05 "
    "GMT\r\n"
    "Connection: close\r\nETag: \"5e0d5d65-300000\"\r\n"
    "Content-Range: bytes 100-3145727/3145728\r\n\r\n";

void BM_ParseResponseHeader(benchmark::State& state) {
  vorn::Downloader d(&Env());
  std::string text = std::string(kAnswer) + std::string(1024, 'x') + "\r\n";
  int32_t length = 0, status = 0;
  vorn::Time64 modified;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        d.ParseResponseHeader(text.c_str(), &length, &status, &modified));
  }
}
BENCHMARK(BM_ParseResponseHeader);

void BM_ParseHttpDate(benchmark::State& state) {
  vorn::Time64 t;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        vorn::ParseHttpDate(Env().clock, "thu, 02 jan 2020 03:04:05 gmt", &t));
  }
}
BENCHMARK(BM_ParseHttpDate);

void BM_ParseUrl(benchmark::State& state) {
  vorn::Downloader d(&Env());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        d.ParseUrl("  http://updates.example.com:8080/app/v2/setup.exe?x=1"));
  }
}
BENCHMARK(BM_ParseUrl);

void BM_GetHeaderLength(benchmark::State& state) {
  std::string buffer(vorn::kReceiveBufferBytes, '\0');
  std::string answer = kAnswer;
  buffer.replace(0, answer.size(), answer);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vorn::Downloader::GetHeaderLength(
        buffer.data(), static_cast<int>(buffer.size())));
  }
}
BENCHMARK(BM_GetHeaderLength);

}  // namespace
