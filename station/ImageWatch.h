#pragma once

#include "ImageFile.h"
#include "RunLoop.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

// Watches the image files that a long station run read at its start. The run
// keeps the bytes it read: a file rebuilt on disk changes nothing flashed or
// recorded. When a file's content comes to differ from those bytes, one log
// line says so, and that a restart takes the new file (once per file).
class ImageWatch {
  public:
    struct Image {
        std::string path;
        std::shared_ptr<const ImageBytes> bytes;
    };
    // Watches the images' directories through inotify, its descriptor a
    // source of loop. Without inotify nothing is watched.
    ImageWatch(std::vector<Image> images, RunLoop& loop);
    ~ImageWatch();
    ImageWatch(const ImageWatch&) = delete;
    ImageWatch& operator=(const ImageWatch&) = delete;

  private:
    void changed();

    std::vector<Image> images_;
    RunLoop& loop_;
    int fd_ = -1;
    RunLoop::SourceId source_ = 0;
    std::set<std::string> reported_;
};
