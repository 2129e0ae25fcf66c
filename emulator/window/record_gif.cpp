#include "window/record_gif.h"

#include <gif_lib.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace vekos {
namespace {

struct ColorMapDeleter {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};
using ColorMap = std::unique_ptr<ColorMapObject, ColorMapDeleter>;

struct Box {
    int x0, y0, x1, y1; // [x0, x1) x [y0, y1)
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
};

// The smallest box holding every pixel that differs; nullopt when none does.
std::optional<Box> changed_box(std::span<const uint32_t> now, std::span<const uint32_t> before, int width, int height)
{
    Box box{width, height, 0, 0};
    for (int y = 0; y < height; ++y) {
        const uint32_t* a = now.data() + size_t(y) * width;
        const uint32_t* b = before.data() + size_t(y) * width;
        if (std::equal(a, a + width, b))
            continue;
        int first = 0, last = width - 1;
        while (a[first] == b[first])
            ++first;
        while (a[last] == b[last])
            --last;
        box.x0 = std::min(box.x0, first);
        box.x1 = std::max(box.x1, last + 1);
        box.y0 = std::min(box.y0, y);
        box.y1 = y + 1;
    }
    if (box.x0 >= box.x1)
        return std::nullopt;
    return box;
}

int table_size(size_t colours)
{
    int size = 2; // the smallest table GIF has
    while (size_t(size) < colours)
        size *= 2;
    return size;
}

} // namespace

int GifRecorder::put(GifFileType* gif, const uint8_t* bytes, int length)
{
    auto* self = static_cast<GifRecorder*>(gif->UserData);
    try {
        self->out_.write(std::span<const uint8_t>(bytes, size_t(length)));
        return length;
    } catch (const std::exception& e) {
        // Never through giflib's C frames: a short write makes it fail instead.
        if (self->write_error_.empty())
            self->write_error_ = e.what();
        return 0;
    }
}

GifRecorder::GifRecorder(OutputFile& out, int width, int height) : out_(out), width_(width), height_(height)
{
    int error = 0;
    gif_ = EGifOpen(this, &GifRecorder::put, &error);
    if (!gif_)
        fail("cannot start the file", error);
    EGifSetGifVersion(gif_, true);
    if (EGifPutScreenDesc(gif_, width, height, 8, 0, nullptr) == GIF_ERROR)
        fail("cannot write the header", gif_->Error);
    // NETSCAPE2.0 application block: loop for ever.
    static const GifByteType kApplication[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    static const GifByteType kLoopForever[] = {1, 0, 0};
    if (EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR
        || EGifPutExtensionBlock(gif_, sizeof kApplication, kApplication) == GIF_ERROR
        || EGifPutExtensionBlock(gif_, sizeof kLoopForever, kLoopForever) == GIF_ERROR
        || EGifPutExtensionTrailer(gif_) == GIF_ERROR)
        fail("cannot write the header", gif_->Error);
}

GifRecorder::~GifRecorder()
{
    if (gif_) {
        int error = 0;
        EGifCloseFile(gif_, &error);
    }
}

void GifRecorder::fail(const char* what, int error)
{
    if (!write_error_.empty())
        throw std::runtime_error(write_error_);
    throw std::runtime_error(out_.name() + ": " + what + " (" + GifErrorString(error) + ")");
}

void GifRecorder::add(const Framebuffer& frame)
{
    if (!gif_)
        throw std::logic_error("GifRecorder::add after close");
    if (frame.width() != width_ || frame.height() != height_)
        throw std::invalid_argument("--record: a frame of another size than the window");
    const std::span<const uint32_t> pixels = frame.pixels();
    std::optional<Box> changed;
    if (previous_.empty())
        changed = Box{0, 0, width_, height_};
    else
        changed = changed_box(pixels, previous_, width_, height_);
    const Box box = changed.value_or(Box{0, 0, 1, 1});
    const int bw = box.width(), bh = box.height();

    // Exact colours, while they fit in a table.
    std::unordered_map<uint32_t, uint8_t> index_of;
    std::vector<GifColorType> colours;
    indices_.resize(size_t(bw) * bh);
    bool exact = true;
    uint32_t last = ~0u;
    uint8_t last_index = 0;
    for (int y = box.y0; y < box.y1 && exact; ++y) {
        const uint32_t* line = pixels.data() + size_t(y) * width_;
        uint8_t* out = indices_.data() + size_t(y - box.y0) * bw;
        for (int x = box.x0; x < box.x1; ++x) {
            const uint32_t p = line[x];
            if (p != last) {
                auto [it, added] = index_of.try_emplace(p, uint8_t(colours.size()));
                if (added) {
                    if (colours.size() == 256) {
                        exact = false;
                        break;
                    }
                    colours.push_back(GifColorType{GifByteType(p >> 16), GifByteType(p >> 8), GifByteType(p)});
                }
                last = p;
                last_index = it->second;
            }
            out[x - box.x0] = last_index;
        }
    }
    ColorMap map;
    if (exact) {
        colours.resize(size_t(table_size(colours.size())), GifColorType{0, 0, 0});
        map.reset(GifMakeMapObject(int(colours.size()), colours.data()));
    } else {
        std::vector<GifByteType> r(indices_.size()), g(indices_.size()), b(indices_.size());
        for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x) {
                const uint32_t p = pixels[size_t(box.y0 + y) * width_ + size_t(box.x0 + x)];
                const size_t i = size_t(y) * bw + x;
                r[i] = GifByteType(p >> 16);
                g[i] = GifByteType(p >> 8);
                b[i] = GifByteType(p);
            }
        std::vector<GifColorType> table(256);
        int size = 256;
        if (GifQuantizeBuffer(
                unsigned(bw), unsigned(bh), &size, r.data(), g.data(), b.data(), indices_.data(), table.data())
            == GIF_ERROR)
            throw std::runtime_error(out_.name() + ": cannot reduce a frame to 256 colours");
        map.reset(GifMakeMapObject(256, table.data()));
    }
    if (!map)
        throw std::bad_alloc();

    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSE_DO_NOT; // the next frame is drawn over this one
    control.UserInputFlag = false;
    control.DelayTime = kDelayHundredths;
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    if (EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, int(length), extension) == GIF_ERROR
        || EGifPutImageDesc(gif_, box.x0, box.y0, bw, bh, false, map.get()) == GIF_ERROR)
        fail("cannot write a frame", gif_->Error);
    for (int y = 0; y < bh; ++y)
        if (EGifPutLine(gif_, indices_.data() + size_t(y) * bw, bw) == GIF_ERROR)
            fail("cannot write a frame", gif_->Error);
    previous_.assign(pixels.begin(), pixels.end());
    ++frames_;
}

void GifRecorder::close()
{
    if (!gif_)
        return;
    int error = 0;
    const int result = EGifCloseFile(gif_, &error); // frees gif_ whatever the outcome
    gif_ = nullptr;
    if (result == GIF_ERROR)
        fail("cannot finish the file", error);
}

} // namespace vekos
