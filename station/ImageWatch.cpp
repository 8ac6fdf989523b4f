#include "ImageWatch.h"

#include "FirmwareUpdaterException.h"
#include "Log.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

ImageWatch::ImageWatch(std::vector<Image> images, RunLoop& loop)
    : images_(std::move(images)), loop_(loop) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        return;
    }
    // The directories, not the files: a rebuilt file is often a new file
    // renamed over the old one.
    std::set<std::string> directories;
    for (const Image& image : images_) {
        const std::filesystem::path parent = std::filesystem::path(image.path).parent_path();
        directories.insert(parent.empty() ? "." : parent.string());
    }
    for (const std::string& directory : directories) {
        (void)::inotify_add_watch(fd_, directory.c_str(),
                                  IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE);
    }
    source_ = loop_.addSource(fd_, [this] { changed(); });
}

ImageWatch::~ImageWatch() {
    if (fd_ >= 0) {
        loop_.removeSource(source_);
        ::close(fd_);
    }
}

void ImageWatch::changed() {
    alignas(inotify_event) char buffer[4096];
    while (::read(fd_, buffer, sizeof buffer) > 0) {
        // Which file changed matters little: each is compared below.
    }
    for (const Image& image : images_) {
        if (reported_.contains(image.path)) {
            continue;
        }
        std::shared_ptr<const ImageBytes> now;
        try {
            now = readImageBytes(image.path.c_str());
        } catch (const FirmwareUpdaterException&) {
            // Gone, or not readable for the moment: not (yet) another image.
            continue;
        }
        if (*now != *image.bytes) {
            reported_.insert(image.path);
            logLine("The image file %s changed on disk; this run goes on with the image it read "
                    "at its start. Restart qrb-flash to take the new one.",
                    image.path.c_str());
        }
    }
}
