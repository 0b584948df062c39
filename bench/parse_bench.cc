// How long the downloader's parsers take on typical inputs.
#include <benchmark/benchmark.h>

#include <string>

#include "download/downloader.h"
#include "download/http_date.h"
#include "download/http_url.h"
#include "download/response_header.h"

namespace {

const char kAnswer[] =
    "HTTP/1.1 206 Partial Content\r\nServer: nginx/1.22.1\r\n"
    "Date: Tue, 08 Dec 2026 04:00:00 GMT\r\nContent-Type: "
    "application/octet-stream\r\n"
    "Content-Length: 3145628\r\nLast-Modified: Thu, 02 Jan 2020 03:04:05 "
    "GMT\r\n"
    "Connection: close\r\nETag: \"5e0d5d65-300000\"\r\n"
    "Content-Range: bytes 100-3145727/3145728\r\n\r\n";

void BM_ReadProbeAnswer(benchmark::State& state) {
  vorn::HttpUrl url;
  vorn::HttpUrl::Parse("http://h/setup.exe", &url);
  for (auto _ : state) {
    vorn::ResponseHead head;
    vorn::ReadResponseHead(kAnswer, &head);
    vorn::ProbeAnswer answer;
    answer.url = url;
    vorn::HttpUrl next;
    vorn::StepResult failure;
    benchmark::DoNotOptimize(
        vorn::ReadProbeAnswer(head, &answer, &next, &failure));
  }
}
BENCHMARK(BM_ReadProbeAnswer);

void BM_ParseHttpDate(benchmark::State& state) {
  vorn::Time64 t;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        vorn::ParseHttpDate("thu, 02 jan 2020 03:04:05 gmt", &t));
  }
}
BENCHMARK(BM_ParseHttpDate);

void BM_ParseUrl(benchmark::State& state) {
  for (auto _ : state) {
    vorn::HttpUrl url;
    benchmark::DoNotOptimize(vorn::HttpUrl::Parse(
        "  http://updates.example.com:8080/app/v2/setup.exe?x=1", &url));
  }
}
BENCHMARK(BM_ParseUrl);

}  // namespace
