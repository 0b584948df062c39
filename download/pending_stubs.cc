// Temporary: operations not built yet.
#include "download/downloader.h"
#include "update/updater.h"

namespace vorn {
void MakeFreshPartition(uint32_t, SegmentRange*) {}
int32_t OriginalStart(const SegmentRange*, int) { return 0; }
std::string SerializeInfoFile(const ResumeRecord&) { return {}; }
void ParseInfoFile(const std::string&, ResumeRecord*) {}
std::string TextModeTranslate(const std::string& raw) { return raw; }
bool Downloader::PrepareDownload(std::string, std::string) { return false; }
void Downloader::DownloadSegment(int) {}
int32_t Downloader::GetHeaderLength(const char*, int) { return 0; }
std::string Downloader::ReadHeaderLine(const char*, int*, int) { return {}; }
std::string Downloader::SegmentFilePath(int) const { return {}; }
bool Downloader::SegmentsComplete() const { return false; }
void Downloader::RecordProgress() {}
uint32_t SegmentThreadProc(void*) { return 0; }
int32_t Updater::StartTransfer() { return 0; }
int32_t Updater::WaitAndMerge() { return 0; }
void Updater::CompleteUpdate() {}
platform::WindowHandle Updater::FindHostWindow() { return nullptr; }
void Updater::LaunchPackage() {}
}  // namespace vorn
