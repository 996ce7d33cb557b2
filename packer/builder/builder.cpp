// The builder's dialog: inputs from the command line, drag and drop or the
// folder picker; the dialog's texts with their Shift-JIS byte counts kept up
// as one types; packing on a worker thread through pack::Pack, with its
// progress in the window and a cancel button.  The distributor's icon is
// previewed as the stub will show it; exclusions are typed one a line.
#include "builder.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "pack.h"

namespace fs = std::filesystem;

namespace {

const UINT WmProgress = WM_APP + 1, WmDone = WM_APP + 2;
const int TextLimit = 255;  // bytes of Shift-JIS in each of the dialog's texts

std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &s[0], n, NULL, NULL);
    return s;
}

std::wstring Wide(const std::string& text)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0);
    std::wstring s(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), &s[0], n);
    return s;
}

std::wstring Text(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    std::wstring text(GetWindowTextLengthW(control) + 1, L'\0');
    text.resize(GetWindowTextW(control, &text[0], (int)text.size()));
    return text;
}

std::wstring Format(const wchar_t* format, ...)
{
    wchar_t text[512];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 511, format, args);
    va_end(args);
    text[511] = L'\0';
    return text;
}

// The four texts of the self-extracting file's dialog, each with the label
// beside it that counts the bytes left.
struct Field {
    int edit, counter;
};
const Field Fields[] = {{IdTitle, IdTitleLeft}, {IdMessage, IdMessageLeft}, {IdDest, IdDestLeft}, {IdLaunch, IdLaunchLeft}};

// What the window and the packing thread share.
class Builder : public pack::PackObserver {
public:
    Builder(const sfx::Bytes& stub, const std::vector<std::wstring>& inputs) : stub_(stub), inputs_(inputs) {}

    void Progress(const pack::PackStatus& status) override  // on the packing thread
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        PostMessageW(dialog_, WmProgress, 0, 0);
    }
    bool Cancelled() override { return cancel_; }

    INT_PTR Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

private:
    void Start(HWND dialog);
    void SetInputs(const std::vector<std::wstring>& inputs);
    void CountBytes(const Field& field);
    void ShowProgress();
    void Finish();
    void SetBusy(bool busy);
    void Browse();
    void PickFile(int id, const wchar_t* filter, bool save);
    void PreviewIcon();
    void Drop(HDROP drop);
    void Close();
    int Ask(const std::wstring& text, UINT type) { return MessageBoxW(dialog_, text.c_str(), L"kvxsfx-builder", type); }

    const sfx::Bytes& stub_;
    std::vector<std::wstring> inputs_;
    std::wstring defaultOutput_;
    HWND dialog_ = NULL;
    bool over_[4] = {};  // a text that does not fit, shown in red
    bool busy_ = false, closeWhenDone_ = false;
    std::atomic<bool> cancel_{false};
    std::thread worker_;
    std::wstring output_;
    HICON preview_ = NULL;  // the icon shown beside its field

    std::mutex mutex_;  // guards what follows, written by the packing thread
    pack::PackStatus status_;
    std::vector<pack::Problem> problems_;
    int code_ = 0;
};

void Builder::SetInputs(const std::vector<std::wstring>& inputs)
{
    inputs_ = inputs;
    std::wstring shown;
    for (const std::wstring& input : inputs)
        shown += (shown.empty() ? L"" : L"; ") + input;
    SetDlgItemTextW(dialog_, IdInput, shown.c_str());
    // The output follows the input until one chooses it oneself.
    const std::wstring output = Text(dialog_, IdOutput);
    if (output.empty() || output == defaultOutput_) {
        defaultOutput_ = DefaultOutput(inputs);
        SetDlgItemTextW(dialog_, IdOutput, defaultOutput_.c_str());
    }
}

// Shows how many bytes of Shift-JIS a text has left, or what keeps it from fitting.
void Builder::CountBytes(const Field& field)
{
    const std::wstring text = Text(dialog_, field.edit);
    BOOL lost = FALSE;
    const int bytes = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, text.c_str(), (int)text.size(), NULL, 0, NULL, &lost);
    const int index = (int)(&field - Fields);
    std::wstring shown;
    if (lost)
        shown = L"使えない文字";
    else if (bytes > TextLimit)
        shown = Format(L"%d バイト超過", bytes - TextLimit);
    else
        shown = Format(L"あと %d バイト", TextLimit - bytes);
    over_[index] = lost || bytes > TextLimit;
    SetDlgItemTextW(dialog_, field.counter, shown.c_str());
}

void Builder::SetBusy(bool busy)
{
    busy_ = busy;
    for (int id : {IdBrowse, IdTitle, IdMessage, IdDest, IdLaunch, IdIcon, IdIconBrowse, IdExclude, IdOutput, IdSaveAs,
                   IdStore, IdSmallest})
        EnableWindow(GetDlgItem(dialog_, id), !busy);
    DragAcceptFiles(dialog_, !busy);
    SetDlgItemTextW(dialog_, IdCreate, busy ? L"中止(&C)" : L"作成(&C)");
    SetDlgItemTextW(dialog_, IdStatus, L"");
    SendDlgItemMessageW(dialog_, IdProgress, PBM_SETPOS, 0, 0);
}

// Checks what the window can check itself, asks before replacing a file, and
// starts packing on a worker thread.
void Builder::Start(HWND dialog)
{
    output_ = Text(dialog, IdOutput);
    if (inputs_.empty()) {
        Ask(L"入力がありません。フォルダやファイルをドロップするか、[参照...] で選んでください。", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (output_.empty()) {
        Ask(L"出力ファイルを指定してください。", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (GetFileAttributesW(output_.c_str()) != INVALID_FILE_ATTRIBUTES &&
        Ask(output_ + L"\nはすでにあります。置き換えますか?", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;

    pack::Options options;
    options.output = Utf8(output_);
    options.title = Utf8(Text(dialog, IdTitle));
    options.message = Utf8(Text(dialog, IdMessage));
    options.destination = Utf8(Text(dialog, IdDest));
    options.launch = Utf8(Text(dialog, IdLaunch));
    options.iconPath = Utf8(Text(dialog, IdIcon));
    std::wistringstream patterns(Text(dialog, IdExclude));
    for (std::wstring line; std::getline(patterns, line);) {
        line.erase(line.find_last_not_of(L" \t\r") + 1);
        if (!line.empty())
            options.excludes.push_back(Utf8(line));
    }
    options.storeAll = IsDlgButtonChecked(dialog, IdStore) == BST_CHECKED;
    options.smallest = IsDlgButtonChecked(dialog, IdSmallest) == BST_CHECKED;
    options.quiet = true;
    for (const std::wstring& input : inputs_)
        options.inputs.push_back(Utf8(input));
    cancel_ = false;
    status_ = {};
    SetBusy(true);
    worker_ = std::thread([this, options] {
        std::ostringstream out;
        pack::ProblemList problems;
        const int code = pack::Pack(options, stub_, out, problems, this);
        std::lock_guard<std::mutex> lock(mutex_);
        code_ = code;
        problems_ = problems.problems;
        PostMessageW(dialog_, WmDone, 0, 0);
    });
}

void Builder::ShowProgress()
{
    pack::PackStatus s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = status_;
    }
    const int position = s.bytes > 0 ? (int)(s.bytesDone * 1000 / s.bytes) : 0;
    SendDlgItemMessageW(dialog_, IdProgress, PBM_SETPOS, position, 0);
    // The command line's progress line, from the same catalogue.
    const uint64_t speed = s.seconds > 0 ? (uint64_t)(s.bytesDone / s.seconds) : 0;
    const std::string line = pack::Say(N_("{done}/{files} files  {bytes} of {total}  {speed}/s"),
                                       {{"done", (uint64_t)s.filesDone}, {"files", (uint64_t)s.files},
                                        {"bytes", s.bytesDone, pack::Value::Size}, {"total", s.bytes, pack::Value::Size},
                                        {"speed", speed, pack::Value::Size}});
    SetDlgItemTextW(dialog_, IdStatus, Wide(line + "   " + s.current).c_str());
}

// The packing thread has ended: says what came of it.
void Builder::Finish()
{
    worker_.join();
    std::vector<pack::Problem> problems;
    int code;
    pack::PackStatus s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        problems = problems_;
        code = code_;
        s = status_;
    }
    SetBusy(false);
    if (closeWhenDone_) {
        EndDialog(dialog_, 0);
        return;
    }
    if (code == pack::ExitCancelled) {
        SetDlgItemTextW(dialog_, IdStatus, L"中止しました。ファイルは作成していません。");
        return;
    }
    if (code != pack::ExitOk) {
        // The packer's problems, one a line, in Japanese.
        std::string shown;
        for (const pack::Problem& problem : problems)
            shown += pack::Render(problem) + "\n";
        Ask(L"作成できませんでした。\n\n" + Wide(shown), MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    SendDlgItemMessageW(dialog_, IdProgress, PBM_SETPOS, 1000, 0);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(output_.c_str(), GetFileExInfoStandard, &data);
    const unsigned long long size = (unsigned long long)data.nFileSizeHigh << 32 | data.nFileSizeLow;
    SetDlgItemTextW(dialog_, IdStatus, L"作成しました。");
    Ask(Format(L"自己解凍ファイルを作成しました。\n\n%ls\n\n項目: %u 個\nサイズ: %ls バイト (%ls)", output_.c_str(),
               (unsigned)s.files, Wide(pack::Grouped(size)).c_str(), Wide(pack::SizeText(size)).c_str()),
        MB_OK | MB_ICONINFORMATION);
}

// The shell's folder picker.
void Builder::Browse()
{
    IFileOpenDialog* picker = NULL;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, NULL, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&picker))))
        return;
    DWORD flags = 0;
    picker->GetOptions(&flags);
    picker->SetOptions(flags | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    picker->SetTitle(L"まとめるフォルダを選んでください");
    IShellItem* item = NULL;
    wchar_t* path = NULL;
    if (SUCCEEDED(picker->Show(dialog_)) && SUCCEEDED(picker->GetResult(&item)) &&
        SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        SetInputs({path});
        CoTaskMemFree(path);
    }
    if (item != NULL)
        item->Release();
    picker->Release();
}

// The system's file dialog for the path in field `id`: to save, or to open
// an existing file; the chosen path goes into the field.
void Builder::PickFile(int id, const wchar_t* filter, bool save)
{
    wchar_t path[MAX_PATH] = {};
    lstrcpynW(path, Text(dialog_, id).c_str(), MAX_PATH);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = dialog_;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = save ? L"exe" : NULL;
    ofn.Flags = (save ? OFN_PATHMUSTEXIST : OFN_FILEMUSTEXIST) | OFN_NOCHANGEDIR;
    if (save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn))
        SetDlgItemTextW(dialog_, id, path);
}

// Shows the icon the file will carry, made as the packer makes it; the
// stub's own while the field is empty, and why when the file cannot serve.
void Builder::PreviewIcon()
{
    const std::string path = Utf8(Text(dialog_, IdIcon));
    sfx::Bytes file, image;
    uint32_t at = 0;
    pack::Problem problem{nullptr, {}};
    pack::Rgba picture;
    if (path.empty() && sfx::FindIconImage(stub_, &at))
        image.assign(stub_.begin() + at, stub_.begin() + at + sfx::IconImageSize);
    else if (!path.empty() && !pack::ReadFileBytes(path, &file))
        problem = {N_("{file}: cannot be read"), {{"file", path}}};
    else if (!path.empty() && (problem = pack::ReadImage(file, path, &picture)).what == nullptr)
        image = pack::IconImage(picture);
    HICON icon = image.empty() ? NULL
                               : CreateIconFromResourceEx(image.data(), (DWORD)image.size(), TRUE, 0x00030000, 32, 32,
                                                          LR_DEFAULTCOLOR);
    SendDlgItemMessageW(dialog_, IdIconPreview, STM_SETICON, (WPARAM)icon, 0);
    if (preview_ != NULL)
        DestroyIcon(preview_);
    preview_ = icon;
    SetDlgItemTextW(dialog_, IdIconNote, problem.what ? Wide(pack::Say(problem.what, problem.values)).c_str() : L"");
}

void Builder::Drop(HDROP drop)
{
    std::vector<std::wstring> dropped;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, NULL, 0);
    for (UINT i = 0; i < count; i++) {
        std::wstring path(DragQueryFileW(drop, i, NULL, 0) + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, &path[0], (UINT)path.size()));
        dropped.push_back(path);
    }
    DragFinish(drop);
    if (!dropped.empty())
        SetInputs(dropped);
}

// Closing while it packs cancels first, and closes once the thread has ended.
void Builder::Close()
{
    if (!busy_) {
        EndDialog(dialog_, 0);
        return;
    }
    closeWhenDone_ = true;
    cancel_ = true;
}

INT_PTR Builder::Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        dialog_ = dialog;
        HICON icon = LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(BuilderIcon));
        SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
        SendDlgItemMessageW(dialog, IdProgress, PBM_SETRANGE32, 0, 1000);
        for (const Field& field : Fields)
            CountBytes(field);
        PreviewIcon();
        DragAcceptFiles(dialog, TRUE);
        if (!inputs_.empty())
            SetInputs(inputs_);
        SetFocus(GetDlgItem(dialog, IdTitle));
        return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (HIWORD(wParam) == EN_CHANGE) {
            for (const Field& field : Fields)
                if (field.edit == id)
                    CountBytes(field);
            if (id == IdIcon)
                PreviewIcon();
            return TRUE;
        }
        if (id == IdCreate)
            busy_ ? (void)(cancel_ = true) : Start(dialog);
        else if (id == IdClose)
            Close();
        else if (id == IdBrowse)
            Browse();
        else if (id == IdSaveAs)
            PickFile(IdOutput, L"自己解凍ファイル (*.exe)\0*.exe\0", true);
        else if (id == IdIconBrowse)
            PickFile(IdIcon, L"アイコンと画像 (*.ico;*.png)\0*.ico;*.png\0", false);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC:
        for (int i = 0; i < 4; i++) {
            if (over_[i] && (HWND)lParam == GetDlgItem(dialog, Fields[i].counter)) {
                SetTextColor((HDC)wParam, RGB(192, 0, 0));
                SetBkMode((HDC)wParam, TRANSPARENT);
                return (INT_PTR)GetSysColorBrush(COLOR_BTNFACE);
            }
        }
        return FALSE;
    case WM_DROPFILES:
        Drop((HDROP)wParam);
        return TRUE;
    case WmProgress:
        if (busy_)
            ShowProgress();
        return TRUE;
    case WmDone:
        Finish();
        return TRUE;
    case WM_CLOSE:
        Close();
        return TRUE;
    case WM_DESTROY:
        if (preview_ != NULL)
            DestroyIcon(preview_);
        preview_ = NULL;
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
    Builder* builder = (Builder*)GetWindowLongPtrW(dialog, GWLP_USERDATA);
    return builder != nullptr ? builder->Handle(dialog, message, wParam, lParam) : FALSE;
}

}  // namespace

std::wstring DefaultOutput(const std::vector<std::wstring>& inputs)
{
    if (inputs.empty())
        return L"";
    fs::path first = fs::path(inputs[0]);
    while (first.has_filename() == false && first.has_parent_path() && first != first.parent_path())
        first = first.parent_path();  // a trailing separator
    std::error_code ec;
    const fs::path folder = fs::is_directory(first, ec) ? first : first.parent_path();
    if (!folder.has_filename())
        return L"";  // a drive's root has no name to give the file
    return (folder.parent_path() / (folder.filename().wstring() + L".exe")).wstring();
}

int RunBuilder(HINSTANCE instance, const std::vector<std::wstring>& inputs, const sfx::Bytes& stub)
{
    pack::UseJapanese();  // the builder is Japanese, whatever the system's language
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const bool com = SUCCEEDED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    Builder builder(stub, inputs);
    const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(BuilderDialog), NULL, DialogProc, (LPARAM)&builder);
    if (com)
        CoUninitialize();
    return (int)result;
}
