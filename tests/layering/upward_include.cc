// Built against download/'s library only, to show that the layers look
// down alone: its own and platform/'s headers are found, update/'s is not.
#include "download/downloader.h"
#include "platform/env.h"
#include "update/updater.h"
