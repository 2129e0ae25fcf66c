// The guest's window as a real SDL2 window, scaled to fit (letterboxed, with
// square pixels) and resizable.  Keys: text input gives the characters as
// typed (q, Q, ...), key presses give Escape, Enter, Backspace, Tab, Delete.
#include "window/display.h"

#include <SDL.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace vekos {
namespace {

struct WindowDeleter {
    void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
};
struct TextureDeleter {
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};

bool is_set(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// SDL's video subsystem, for as long as the display lives.
class SdlVideo {
public:
    SdlVideo()
    {
        // SDL falls back to drivers that show nothing (offscreen, dummy);
        // those count only when asked for by name with SDL_VIDEODRIVER.
        const bool driver_named = is_set("SDL_VIDEODRIVER");
        if (!driver_named && !is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY"))
            throw DisplayUnavailable("--display window: no display to open a window on (neither DISPLAY nor "
                                     "WAYLAND_DISPLAY is set); try --display terminal or none");
        // Ctrl-C in the launching terminal must still end vekos-run.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // Without a Wayland display SDL would still try Wayland, whose library
        // complains on standard error; X alone is tried then.
        if (!driver_named && !is_set("WAYLAND_DISPLAY"))
            SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
            throw DisplayUnavailable(std::string("--display window: no display to open a window on (SDL: ")
                + SDL_GetError() + "); try --display terminal or none");
        const std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
        if (!driver_named && (driver == "offscreen" || driver == "dummy" || driver == "evdev")) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            SDL_Quit();
            throw DisplayUnavailable("--display window: no display to open a window on (SDL found only its " + driver
                + " driver); try --display terminal or none");
        }
    }
    ~SdlVideo()
    {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_Quit();
    }
    SdlVideo(const SdlVideo&) = delete;
    SdlVideo& operator=(const SdlVideo&) = delete;
};

void append_utf8_codepoints(const char* text, std::vector<int32_t>& keys)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        uint32_t cp = *s;
        int more = cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
        if (more)
            cp &= 0x3Fu >> more;
        ++s;
        for (; more > 0 && (*s & 0xC0) == 0x80; --more, ++s)
            cp = cp << 6 | (*s & 0x3F);
        keys.push_back(int32_t(cp));
    }
}

class SdlDisplay final : public Display {
public:
    SdlDisplay() = default;

    void open(std::string_view title, std::string_view, int width, int height) override
    {
        // 1:1 when the desktop has room, else the largest size that fits it.
        int w = width, h = height;
        SDL_Rect usable;
        if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0) {
            double scale = std::min({1.0, usable.w / double(width), usable.h / double(height)});
            w = std::max(1, int(width * scale));
            h = std::max(1, int(height * scale));
        }
        window_.reset(SDL_CreateWindow(
            std::string(title).c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w, h, SDL_WINDOW_RESIZABLE));
        if (!window_)
            throw DisplayUnavailable(std::string("--display window: cannot open a window: ") + SDL_GetError());
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
        renderer_.reset(SDL_CreateRenderer(window_.get(), -1, 0));
        if (!renderer_)
            renderer_.reset(SDL_CreateRenderer(window_.get(), -1, SDL_RENDERER_SOFTWARE));
        if (!renderer_)
            throw DisplayUnavailable(std::string("--display window: no renderer: ") + SDL_GetError());
        SDL_RenderSetLogicalSize(renderer_.get(), width, height);
        texture_.reset(
            SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, width, height));
        if (!texture_)
            throw DisplayUnavailable(std::string("--display window: no texture: ") + SDL_GetError());
        SDL_SetTextureBlendMode(texture_.get(), SDL_BLENDMODE_NONE);
        SDL_StartTextInput();
        SDL_ShowWindow(window_.get());
        SDL_RaiseWindow(window_.get());
    }

    void show(const Framebuffer& frame) override
    {
        if (!texture_ || closed_)
            return;
        SDL_UpdateTexture(texture_.get(), nullptr, frame.pixels().data(), frame.width() * 4);
        render();
    }

    void pump(std::vector<int32_t>& keys) override
    {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            switch (e.type) {
            case SDL_QUIT: close(); break;
            case SDL_WINDOWEVENT:
                if (e.window.event == SDL_WINDOWEVENT_CLOSE)
                    close();
                else if (e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
                    render();
                break;
            case SDL_TEXTINPUT: append_utf8_codepoints(e.text.text, keys); break;
            case SDL_KEYDOWN:
                switch (e.key.keysym.sym) {
                case SDLK_ESCAPE: keys.push_back(27); break;
                case SDLK_RETURN:
                case SDLK_KP_ENTER: keys.push_back('\n'); break;
                case SDLK_BACKSPACE: keys.push_back('\b'); break;
                case SDLK_TAB: keys.push_back('\t'); break;
                case SDLK_DELETE: keys.push_back(0x7F); break;
                default: break; // characters come as text input
                }
                break;
            default: break;
            }
        }
    }

    bool closed() const override { return closed_; }

private:
    void render()
    {
        if (!renderer_ || closed_)
            return;
        SDL_SetRenderDrawColor(renderer_.get(), 0, 0, 0, 255);
        SDL_RenderClear(renderer_.get());
        SDL_RenderCopy(renderer_.get(), texture_.get(), nullptr, nullptr);
        SDL_RenderPresent(renderer_.get());
    }

    void close()
    {
        closed_ = true;
        if (window_)
            SDL_HideWindow(window_.get());
    }

    SdlVideo video_; // first in, last out
    std::unique_ptr<SDL_Window, WindowDeleter> window_;
    std::unique_ptr<SDL_Renderer, RendererDeleter> renderer_;
    std::unique_ptr<SDL_Texture, TextureDeleter> texture_;
    bool closed_ = false;
};

} // namespace

std::unique_ptr<Display> make_sdl_display() { return std::make_unique<SdlDisplay>(); }

} // namespace vekos
