// Drives a window the way a person would, for the GUI tests:
//   GuiDriver find <class> <title> <timeoutMs>     prints the window handle
//   GuiDriver layout <hwnd>                        prints the window and its controls
//   GuiDriver click <hwnd> <caption>               presses the child button with that caption
//   GuiDriver close <hwnd>                         asks the window to close
//   GuiDriver box <timeoutMs> [shot.png|- [keep]]  prints a message box's text (UTF-8, CR as \r), presses
//                                                  OK unless "keep" is given
//   GuiDriver shot <hwnd> <file.png>               writes a picture of the window
//   GuiDriver explorer <timeoutMs>                 prints the title of an Explorer window
//   GuiDriver closeclass <class>                   closes every top-level window of a class
#include "platform/win.h"

#include <commctrl.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace {

std::string Utf8(const std::wstring& s) { return pelmo::ToUtf8(s); }

// The window's text as the system stores it: no message is sent, so a hung
// window of another process cannot block the driver.
std::wstring Text(HWND h)
{
    wchar_t buf[4096] = {};
    InternalGetWindowText(h, buf, 4096);
    return buf;
}

struct FindTop {
    const wchar_t* cls;
    const wchar_t* title;  // may be null
    HWND found = nullptr;
};

BOOL CALLBACK TopEnum(HWND h, LPARAM p)
{
    auto* f = reinterpret_cast<FindTop*>(p);
    wchar_t cls[256] = {};
    GetClassNameW(h, cls, 256);
    if (IsWindowVisible(h) && wcscmp(cls, f->cls) == 0 && (!f->title || Text(h) == f->title)) {
        f->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND FindTopWindow(const wchar_t* cls, const wchar_t* title)
{
    FindTop f{cls, title};
    EnumWindows(TopEnum, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

std::wstring ClassOf(HWND h)
{
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 256);
    return buf;
}

std::string Escaped(const std::wstring& s)
{
    std::string out;
    for (char c : Utf8(s)) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

void PutBig32(std::string& b, uint32_t v)
{
    for (int i = 3; i >= 0; --i) b.push_back(char((v >> (8 * i)) & 0xFF));
}

void Chunk(std::string& png, const char* type, const std::string& data)
{
    PutBig32(png, uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    PutBig32(png, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

bool Shot(HWND h, const wchar_t* path)
{
    RECT r;
    GetWindowRect(h, &r);
    int w = r.right - r.left, ht = r.bottom - r.top;
    if (w <= 0 || ht <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -ht;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, ht, screen, r.left, r.top, SRCCOPY);
    std::string raw;
    const unsigned char* px = static_cast<const unsigned char*>(bits);
    for (int y = 0; y < ht; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = px + (size_t(y) * w + x) * 4;
            raw.push_back(char(p[2]));
            raw.push_back(char(p[1]));
            raw.push_back(char(p[0]));
        }
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    uLongf n = compressBound(uLong(raw.size()));
    std::string z(n, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &n, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 6);
    z.resize(n);
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    PutBig32(ihdr, uint32_t(w));
    PutBig32(ihdr, uint32_t(ht));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    FILE* f = _wfopen(path, L"wb");
    if (!f) return false;
    fwrite(png.data(), 1, png.size(), f);
    fclose(f);
    return true;
}

struct FindBox {
    HWND found = nullptr;
};

BOOL CALLBACK BoxEnum(HWND h, LPARAM p)
{
    if (IsWindowVisible(h) && ClassOf(h) == L"#32770") {
        reinterpret_cast<FindBox*>(p)->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND ChildByText(HWND parent, const std::wstring& cls, const std::wstring& text)
{
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::wstring t = Text(c);
        t.erase(std::remove(t.begin(), t.end(), L'&'), t.end());
        if ((cls.empty() || pelmo::SameText(ClassOf(c), cls)) && t == text) return c;
    }
    return nullptr;
}

HWND ParseHwnd(const wchar_t* s) { return reinterpret_cast<HWND>(static_cast<intptr_t>(_wtoi64(s))); }

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return 2;
    std::wstring cmd = argv[1];
    if (cmd == L"find" && argc >= 5) {
        DWORD end = GetTickCount() + DWORD(_wtoi(argv[4]));
        do {
            if (HWND h = FindTopWindow(argv[2], argv[3])) {
                printf("%lld\n", static_cast<long long>(reinterpret_cast<intptr_t>(h)));
                return 0;
            }
            Sleep(100);
        } while (GetTickCount() < end);
        return 1;
    }
    if (cmd == L"layout" && argc >= 3) {
        HWND h = ParseHwnd(argv[2]);
        RECT wr, cr;
        GetWindowRect(h, &wr);
        GetClientRect(h, &cr);
        printf("caption %s\n", Escaped(Text(h)).c_str());
        printf("class %s\n", Utf8(ClassOf(h)).c_str());
        printf("client %ld %ld\n", cr.right, cr.bottom);
        printf("window %ld %ld %ld %ld\n", wr.left, wr.top, wr.right, wr.bottom);
        printf("screen %d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        printf("style %lx %lx\n", GetWindowLongW(h, GWL_STYLE), GetWindowLongW(h, GWL_EXSTYLE));
        for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            RECT r;
            GetWindowRect(c, &r);
            MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&r), 2);
            LOGFONTW lf{};
            HFONT font = reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0));
            if (font) GetObjectW(font, sizeof(lf), &lf);
            printf("child %s|%d|%ld|%ld|%ld|%ld|%d|%lx|%s|%ld|%s\n", Utf8(ClassOf(c)).c_str(), GetDlgCtrlID(c), r.left,
                   r.top, r.right - r.left, r.bottom - r.top, IsWindowVisible(c) ? 1 : 0, GetWindowLongW(c, GWL_STYLE),
                   Utf8(lf.lfFaceName).c_str(), lf.lfHeight, Escaped(Text(c)).c_str());
        }
        return 0;
    }
    if (cmd == L"click" && argc >= 4) {
        HWND b = ChildByText(ParseHwnd(argv[2]), L"Button", argv[3]);
        if (!b) return 1;
        PostMessageW(b, BM_CLICK, 0, 0);
        return 0;
    }
    if (cmd == L"close" && argc >= 3) {
        PostMessageW(ParseHwnd(argv[2]), WM_CLOSE, 0, 0);
        return 0;
    }
    if (cmd == L"shot" && argc >= 4) return Shot(ParseHwnd(argv[2]), argv[3]) ? 0 : 1;
    if (cmd == L"box" && argc >= 3) {
        DWORD end = GetTickCount() + DWORD(_wtoi(argv[2]));
        FindBox fb;
        while (!fb.found && GetTickCount() < end) {
            EnumWindows(BoxEnum, reinterpret_cast<LPARAM>(&fb));
            if (!fb.found) Sleep(100);
        }
        if (!fb.found) return 1;
        Sleep(300);  // let it paint
        std::wstring text;
        for (HWND c = GetWindow(fb.found, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            if (pelmo::SameText(ClassOf(c), L"Static") && !Text(c).empty()) text = Text(c);
        }
        printf("title %s\n", Escaped(Text(fb.found)).c_str());
        printf("text %s\n", Escaped(text).c_str());
        fflush(stdout);
        if (argc >= 4 && std::wstring(argv[3]) != L"-") Shot(fb.found, argv[3]);
        if (argc >= 5 && std::wstring(argv[4]) == L"keep") return 0;
        HWND ok = GetDlgItem(fb.found, IDOK);
        if (!ok) ok = ChildByText(fb.found, L"Button", L"OK");
        if (!ok) return 1;
        PostMessageW(ok, BM_CLICK, 0, 0);
        return 0;
    }
    if (cmd == L"explorer" && argc >= 3) {
        DWORD end = GetTickCount() + DWORD(_wtoi(argv[2]));
        do {
            if (HWND h = FindTopWindow(L"ExplorerWClass", nullptr)) {
                printf("%s\n", Escaped(Text(h)).c_str());
                return 0;
            }
            Sleep(200);
        } while (GetTickCount() < end);
        return 1;
    }
    if (cmd == L"closeclass" && argc >= 3) {
        while (HWND h = FindTopWindow(argv[2], nullptr)) {
            PostMessageW(h, WM_CLOSE, 0, 0);
            for (int i = 0; i < 50 && IsWindow(h); ++i) Sleep(100);
            if (IsWindow(h)) return 1;
        }
        return 0;
    }
    return 2;
}
