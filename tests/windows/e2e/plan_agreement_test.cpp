// updpack plan against update.exe: for each row (an update and an installation), what
// `updpack plan UPDATER.exe --installed --data-path --inst-mode --setup --tsv` says the run will
// do is held against what the real update.exe, driven through its wizard under Wine, does to
// the same installation. Each file record's result must show on the disk, the run must end as
// the plan's stop says, and nothing the plan does not name may change, inside the installation
// or outside it. updpack.exe of the build is run as a process under Wine, as a publisher on
// Windows runs it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.h"
#include "scenario.h"

namespace updtest::e2e {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSecond = 10'000'000ull;
constexpr std::uint64_t kOld = kPackageTime - kSecond * 86400;    // a day before the entries
constexpr std::uint64_t kNew = kPackageTime + kSecond * 86400;    // a day after
constexpr std::uint64_t kLater = kPackageTime + kSecond * 3600;   // an entry of another time

std::wstring FromUtf8(std::string_view s) {
  return W(std::u8string_view(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::uint64_t Now() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  return (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

// ---- The rows ----

struct Entry {
  std::string name;  // code page 932
  std::string content;
  std::uint64_t time = kPackageTime;
};

// A file (or folder) of the installation before the run.
struct Laid {
  bool data = false;  // below the data folder, else the installation folder
  std::string path;   // UTF-8, '\' between folders
  std::string content;
  std::uint64_t time = kOld;
  bool read_only = false;
  bool folder = false;
};

Laid Inst(std::string path, std::string content, std::uint64_t time = kOld) {
  return {false, std::move(path), std::move(content), time};
}
Laid Data(std::string path, std::string content, std::uint64_t time = kOld) {
  return {true, std::move(path), std::move(content), time};
}
Laid ReadOnly(std::string path, std::string content, std::uint64_t time = kOld) {
  return {false, std::move(path), std::move(content), time, true};
}
Laid Folder(std::string path) { return {false, std::move(path), {}, 0, false, true}; }

struct Row {
  const char* name;
  std::uint32_t inst_mode;
  std::string setup;   // [SETUP] lines of UPDATE.INI
  std::string update;  // [UPDATE] lines
  std::vector<Entry> entries;
  std::vector<Laid> before;
  bool disc = false;  // disc 2 is in the drive (SETUP.INI names its check file)
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << r.name; }

std::vector<Row> Rows() {
  const std::string hyou = J(u8"表.DAT");  // a 0x5C trail byte in the name
  return {
      {"Plain", 0, "",
       "UpdateFile00=A.DAT\r\nUpdateFile01=b.dat\r\nUpdateFile02=sub\\" + hyou + "\r\n",
       {{"A.DAT", "pkg a"}, {"B.DAT", "pkg b", kLater}, {hyou, "pkg hyou"}},
       {Inst("B.DAT", "old b"), Folder("sub")}},
      {"NewerMode", 0, "",
       "UpdateFile00=u,OLDER.DAT\r\nUpdateFile01=u,NEWER.DAT\r\nUpdateFile02=u,ABSENT.DAT\r\n",
       {{"OLDER.DAT", "pkg older"}, {"NEWER.DAT", "pkg newer"}, {"ABSENT.DAT", "pkg absent"}},
       {Inst("OLDER.DAT", "installed older", kOld), Inst("NEWER.DAT", "installed newer", kNew)}},
      {"DataMode", 0, "",
       "UpdateFile00=d,KEEP.SAV\r\nUpdateFile01=d,NEW.SAV\r\n",
       {{"KEEP.SAV", "pkg keep"}, {"NEW.SAV", "pkg new"}},
       {Data("KEEP.SAV", "player's save"), Inst("NEW.SAV", "not the data folder")}},
      {"OverwriteMode", 0, "",
       "UpdateFile00=o,THERE.DAT\r\nUpdateFile01=o,MISSING.DAT\r\n",
       {{"THERE.DAT", "pkg there"}, {"MISSING.DAT", "pkg missing"}},
       {Inst("THERE.DAT", "old there")}},
      {"FilterByInstallationMode", 1, "",
       "UpdateFile00=1,ONE.DAT\r\nUpdateFile01=0,ZERO.DAT\r\nUpdateFile02=2,TWO.DAT\r\n"
       "UpdateFile03=ALL.DAT\r\n",
       {{"ONE.DAT", "pkg one"}, {"ZERO.DAT", "pkg zero"}, {"TWO.DAT", "pkg two"}, {"ALL.DAT", "pkg all"}},
       {Inst("ZERO.DAT", "installed zero")}},
      {"DataFolder", 0, "DataFolder=save\r\n",
       "UpdateFile00=A.DAT\r\nUpdateFile01=d,KEEP.SAV\r\nUpdateFile02=d,NEW.SAV\r\n",
       {{"A.DAT", "pkg a"}, {"KEEP.SAV", "pkg keep"}, {"NEW.SAV", "pkg new"}},
       {Data("save\\KEEP.SAV", "player's save"), Inst("A.DAT", "not below DataFolder")}},
      {"MissingSubfolderFailsPartWay", 0, "",
       "UpdateFile00=A.DAT\r\nUpdateFile01=nosub\\B.DAT\r\nUpdateFile02=C.DAT\r\n",
       {{"A.DAT", "pkg a"}, {"B.DAT", "pkg b"}, {"C.DAT", "pkg c"}},
       {Inst("C.DAT", "old c")}},
      {"EntryThePackageLacks", 0, "",
       "UpdateFile00=A.DAT\r\nUpdateFile01=LOST.DAT\r\nUpdateFile02=C.DAT\r\n",
       {{"A.DAT", "pkg a"}, {"C.DAT", "pkg c"}},
       {Inst("A.DAT", "old a")}},
      {"FolderInTheTargetsPlace", 0, "",
       "UpdateFile00=A.DAT\r\nUpdateFile01=FOLDER.DAT\r\nUpdateFile02=C.DAT\r\n",
       {{"A.DAT", "pkg a"}, {"FOLDER.DAT", "pkg folder"}, {"C.DAT", "pkg c"}},
       {Folder("FOLDER.DAT")}},
      {"OverwriteOnly", 0, "",
       "OverwriteOnly=1\r\nUpdateFile00=THERE.DAT\r\nUpdateFile01=NOTTHERE.DAT\r\n"
       "UpdateFile02=d,KEEP.SAV\r\nUpdateFile03=d,NOSAVE.SAV\r\nUpdateFile04=u,NEWER.DAT\r\n",
       {{"THERE.DAT", "pkg there"}, {"NOTTHERE.DAT", "pkg not there"}, {"KEEP.SAV", "pkg keep"},
        {"NOSAVE.SAV", "pkg no save"}, {"NEWER.DAT", "pkg newer"}},
       {Inst("THERE.DAT", "old there"), Data("KEEP.SAV", "player's save"),
        Inst("NEWER.DAT", "installed newer", kNew)}},
      {"ReadOnlyFileReplaced", 0, "",
       "UpdateFile00=RO.DAT\r\nUpdateFile01=u,RONEWER.DAT\r\n",
       {{"RO.DAT", "pkg ro"}, {"RONEWER.DAT", "pkg ro newer"}},
       {ReadOnly("RO.DAT", "old ro"), ReadOnly("RONEWER.DAT", "installed ro newer", kNew)}},
      // Refused before its first write: nothing is reached.
      {"PathThatLeavesTheFolder", 0, "",
       "UpdateFile00=A.DAT\r\nUpdateFile01=..\\escape.txt\r\n",
       {{"A.DAT", "pkg a"}, {"escape.txt", "out"}},
       {}},
      {"NothingApplies", 0, "",
       "UpdateFile00=3,A.DAT\r\n",
       {{"A.DAT", "pkg a"}},
       {}},
      {"DiscCopies", 0, "",
       "UpdateFile00=A.DAT\r\nCopyFile00=2:INTRO.AVI\r\nCopyFile01=2:movie\r\n"
       "CopyFile02=2:extra\\BONUS.AVI\r\nCopyFile03=1,2:ONLY1.AVI\r\n",
       {{"A.DAT", "pkg a"}},
       {Inst("INTRO.AVI", "old intro")},
       true},
      // A pattern and a folder below the disc's root: where the copy lands is not the path.
      {"DiscCopiesFromBelowTheRoot", 0, "",
       "CopyFile00=2:voice\\*.OGG\r\nCopyFile01=2:extra\\movie\r\n",
       {},
       {},
       true},
  };
}

// ---- What lies on the disk ----

// A file's content and time. Attributes are left out: the run gives a read-only file it meets
// normal attributes, even one it keeps, and no record speaks of them.
struct State {
  bool folder = false;
  std::string content;
  std::uint64_t time = 0;  // files only
  bool operator==(const State&) const = default;
};

struct Seen {
  fs::path path;
  State state;
};

// Keyed by the full path, upper-cased: the file system finds names regardless of case.
using Snapshot = std::map<std::wstring, Seen>;

std::wstring Key(const fs::path& p) {
  std::wstring s = p.lexically_normal().wstring();
  for (wchar_t& c : s) {
    if (c == L'/') c = L'\\';
  }
  while (s.size() > 3 && s.back() == L'\\') s.pop_back();
  CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

std::optional<State> Look(const fs::path& p) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  State s;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    s.folder = true;
    return s;
  }
  const Bytes b = ReadAll(p);
  s.content.assign(b.begin(), b.end());
  s.time = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  return s;
}

void Take(const fs::path& root, Snapshot& into) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (auto s = Look(it->path())) into[Key(it->path())] = {it->path(), *s};
  }
}

std::optional<State> At(const Snapshot& s, const std::wstring& key) {
  const auto it = s.find(key);
  if (it == s.end()) return std::nullopt;
  return it->second.state;
}

std::string Show(const std::optional<State>& s) {
  if (!s) return "absent";
  if (s->folder) return "a folder";
  std::ostringstream os;
  // A large file (the updater itself) is shown by its size only.
  if (s->content.size() > 80) {
    os << s->content.size() << " bytes";
  } else {
    os << "'" << s->content << "'";
  }
  os << " time " << std::hex << s->time;
  return os.str();
}

// ---- updpack plan ----

struct FileRecord {
  std::string mode, key, root, target, item_mode, entry, size, time, action, result;
};
struct CopyRecord {
  std::string mode, key, disc, check_file, path, what;
};
struct PlanOutput {
  DWORD code = 0xFFFFFFFF;
  std::string out, err;
  std::vector<FileRecord> files;
  std::vector<CopyRecord> copies;
  std::optional<std::string> stop_key;  // set when the plan says the run stops
  std::vector<std::string> problems;    // lines that are not records of the format
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  std::size_t from = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', from);
    f.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) return f;
    from = tab + 1;
  }
}

void ParseTsv(PlanOutput& plan) {
  std::istringstream in(plan.out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> f = Fields(line);
    if (f[0] == "file" && f.size() == 11) {
      plan.files.push_back({f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10]});
    } else if (f[0] == "copy" && f.size() == 7) {
      plan.copies.push_back({f[1], f[2], f[3], f[4], f[5], f[6]});
    } else if (f[0] == "stop" && f.size() == 4) {
      if (plan.stop_key) plan.problems.push_back("a second stop: " + line);
      plan.stop_key = f[2];
    } else if (f[0] != "space" || f.size() != 4) {
      plan.problems.push_back(line);
    }
  }
}

// updpack.exe of this build (through Wine's Z: drive) with `args`.
PlanOutput RunUpdpack(const std::vector<std::wstring>& args) {
  std::wstring exe = L"Z:";
  for (const char* p = UPDPACK_EXE; *p; ++p) exe += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  updtest::Argv argv = {exe};
  argv.insert(argv.end(), args.begin(), args.end());
  const updtest::Ran ran = updtest::RunProcess(argv);
  PlanOutput r;
  if (ran.exited) r.code = static_cast<DWORD>(ran.code);
  r.out = ran.out;
  r.err = ran.err;
  ParseTsv(r);
  return r;
}

// "2023-01-02T03:04:05.1234567Z" as a FILETIME; 0 when it is not one.
std::uint64_t ParseTime(const std::string& iso) {
  SYSTEMTIME st{};
  unsigned y, mo, d, h, mi, s;
  unsigned long long fraction = 0;
  if (std::sscanf(iso.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%7lluZ", &y, &mo, &d, &h, &mi, &s, &fraction) != 7) return 0;
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  st.wSecond = static_cast<WORD>(s);
  FILETIME ft{};
  if (!SystemTimeToFileTime(&st, &ft)) return 0;
  return ((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) + fraction;
}

// ---- The run ----

struct RunEnd {
  bool finished = false;           // the finished page, left with "完了"
  std::vector<std::string> boxes;  // the boxes' texts in order (code page 932)
  std::vector<std::string> captions;
  std::optional<DWORD> exit_code;
  std::string note;
};

class PlanAgreement : public UpdaterScenario, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    UpdaterScenario::SetUp();
    inst_ = base_ / W(u8"Café ほし");
    data_ = base_ / W(u8"データ");
    fs::create_directories(inst_);
    fs::create_directories(data_);
    if (GetParam().disc) {
      const char* drive = std::getenv("UPD_CDROM");
      const char* dir = std::getenv("UPD_CDROM_DIR");
      if (!drive || !dir) GTEST_SKIP() << "no CD-ROM drive in this bench (UPD_CDROM)";
      disc_ = fs::path(std::string(dir));
      ASSERT_EQ(GetDriveTypeA((std::string(drive) + "\\").c_str()), static_cast<UINT>(DRIVE_CDROM));
      // A check file of this process's own: a disc of another scenario never passes for ours.
      check_ = "PLAN2_" + std::to_string(GetCurrentProcessId()) + ".TAG";
      Eject();
      InsertDisc();
    }
  }

  void TearDown() override {
    if (!disc_.empty()) Eject();
    // Read-only files the run left would keep the scenario's folder from going.
    std::error_code ec;
    for (fs::recursive_directory_iterator it(base_, ec), end; !ec && it != end; it.increment(ec)) {
      SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    UpdaterScenario::TearDown();
  }

  void Eject() {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(disc_, ec), end; !ec && it != end; it.increment(ec)) {
      SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    for (const auto& e : fs::directory_iterator(disc_, ec)) fs::remove_all(e.path(), ec);
  }

  // Disc 2: its check file, a read-only file, folders at the root and below it, a pattern's
  // files beside one it does not match, and a file only a filtered copy names.
  void InsertDisc() {
    WriteAll(disc_ / check_, "disc 2");
    WriteAll(disc_ / L"INTRO.AVI", "disc intro");
    SetFileAttributesW((disc_ / L"INTRO.AVI").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteAll(disc_ / L"ONLY1.AVI", "disc only1");
    fs::create_directories(disc_ / L"movie");
    WriteAll(disc_ / L"movie" / L"M1.AVI", "disc m1");
    WriteAll(disc_ / L"movie" / L"M2.AVI", "disc m2");
    fs::create_directories(disc_ / L"voice");
    WriteAll(disc_ / L"voice" / L"V1.OGG", "disc v1");
    WriteAll(disc_ / L"voice" / L"V2.OGG", "disc v2");
    WriteAll(disc_ / L"voice" / L"NOTE.TXT", "disc note");
    fs::create_directories(disc_ / L"extra" / L"movie");
    WriteAll(disc_ / L"extra" / L"BONUS.AVI", "disc bonus");
    WriteAll(disc_ / L"extra" / L"movie" / L"X1.AVI", "disc x1");
  }

  void Lay(const Laid& f) {
    const fs::path p = (f.data ? data_ : inst_) / FromUtf8(f.path);
    if (f.folder) {
      fs::create_directories(p);
      return;
    }
    fs::create_directories(p.parent_path());
    WriteAll(p, f.content);
    HANDLE h = CreateFileW(p.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const FILETIME ft{static_cast<DWORD>(f.time), static_cast<DWORD>(f.time >> 32)};
    SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
    if (f.read_only) SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_READONLY);
  }

  Snapshot TakeAll() const {
    Snapshot s;
    Take(base_, s);
    if (!disc_.empty()) Take(disc_, s);
    return s;
  }

  // The open message box of `p` other than the wizard, if any.
  static HWND OpenBox(const ChildProcess& p, HWND wizard) {
    for (const win::WindowInfo& w : win::TopLevelWindows(p.pid())) {
      if (w.hwnd != wizard && w.class_name == win::kDialogClass && GetDlgItem(w.hwnd, 0xFFFF)) return w.hwnd;
    }
    return nullptr;
  }

  // Through the wizard into the run, then whatever comes: the finished page (left with "完了"),
  // or boxes, each answered (a box that offers Cancel, such as the disc prompt, is cancelled),
  // until the process ends.
  RunEnd Drive(ChildProcess& p) {
    RunEnd end;
    HWND w = RunUntil(p, "");
    if (!w) {
      end.note = "the run did not begin";
      end.exit_code = p.Wait(kTimeout);
      return end;
    }
    const std::string done = J(u8"アップデートは完了しました");
    auto until = std::chrono::steady_clock::now() + kTimeout;
    while (p.Running() && std::chrono::steady_clock::now() < until) {
      if (HWND box = OpenBox(p, w)) {
        end.captions.push_back(win::ToCp932(win::WindowText(box)));
        end.boxes.push_back(win::ToCp932(win::WindowText(GetDlgItem(box, 0xFFFF))));
        const bool cancel = win::ReadControl(box, IDCANCEL).visible;
        if (!win::PressButton(box, cancel ? IDCANCEL : IDOK) || !win::WaitGone(box, kTimeout)) {
          end.note = "a box could not be answered";
          break;
        }
        until = std::chrono::steady_clock::now() + kTimeout;
        continue;
      }
      if (IsWindow(w) && win::ToCp932(win::WindowText(GetDlgItem(w, 1001))) == done) {
        const WizardView v = ReadWizard(w);
        EXPECT_EQ(win::ToCp932(v.next.text), J(u8"完了"));
        EXPECT_TRUE(v.next.enabled);
        Press(w, IDOK);
        end.finished = true;
        break;
      }
      Sleep(25);
    }
    end.exit_code = p.Wait(kTimeout);
    if (!end.exit_code) end.note += " the process did not end";
    return end;
  }

  fs::path data_, disc_;
  std::string check_;
};

std::string Describe(const RunEnd& end) {
  std::string s = end.finished ? "finished" : "did not finish";
  s += ", exit code " + (end.exit_code ? std::to_string(*end.exit_code) : std::string("none"));
  for (const std::string& b : end.boxes) s += ", box \"" + ToUtf8(win::FromCp932(b)) + "\"";
  if (!end.note.empty()) s += ", " + end.note;
  return s;
}

TEST_P(PlanAgreement, TheRunDoesWhatThePlanSays) {
  const Row& row = GetParam();
  Install(inst_,
          {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Text(L"DataPath", data_.wstring()),
           RegValue::Dword(L"InstMode", row.inst_mode)},
          SetupIni(row.disc ? "DiskCheckFile2=" + check_ + "\r\n" : ""));
  for (const Laid& f : row.before) ASSERT_NO_FATAL_FAILURE(Lay(f));
  std::vector<updpack::PackageFile> files;
  for (const Entry& e : row.entries) files.push_back({e.name, B(e.content), e.time});
  const fs::path exe = Updater(Package(UpdateIni(row.setup, row.update), files));

  // What the plan says, of the updater itself and the installation as it is now.
  const PlanOutput plan =
      RunUpdpack({L"plan", exe.wstring(), L"--installed", inst_.wstring(), L"--data-path", data_.wstring(),
                  L"--inst-mode", std::to_wstring(row.inst_mode), L"--setup", (inst_ / L"SETUP.INI").wstring(),
                  L"--tsv"});
  const std::string shown = "plan (exit " + std::to_string(plan.code) + "):\n" + plan.out + plan.err;
  ASSERT_TRUE(plan.code == 0 || plan.code == 1) << shown;
  ASSERT_TRUE(plan.problems.empty()) << shown;
  ASSERT_FALSE(plan.files.empty() && plan.copies.empty()) << shown;
  EXPECT_EQ(plan.code, plan.stop_key ? 1u : 0u) << shown;
  SCOPED_TRACE(shown);

  const Snapshot before = TakeAll();
  const std::uint64_t started = Now();
  auto p = Start(exe);
  ASSERT_TRUE(p);
  const RunEnd end = Drive(*p);
  const Snapshot after = TakeAll();

  // The run ends as the plan says: finished (1), or stopped with a box and "中断" (0).
  if (plan.stop_key) {
    EXPECT_FALSE(end.finished) << "the plan stops at '" << *plan.stop_key << "'; the run " << Describe(end);
    EXPECT_GE(end.boxes.size(), 2u) << "the failure is not shown; the run " << Describe(end);
    EXPECT_TRUE(!end.boxes.empty() && end.boxes.back() == J(u8"アップデートが中断されました"))
        << "the run " << Describe(end);
    EXPECT_EQ(end.exit_code, std::optional<DWORD>(0)) << "the run " << Describe(end);
  } else {
    EXPECT_TRUE(end.finished) << "the plan goes through; the run " << Describe(end);
    EXPECT_TRUE(end.boxes.empty()) << "the run " << Describe(end);
    EXPECT_EQ(end.exit_code, std::optional<DWORD>(1)) << "the run " << Describe(end);
  }
  for (const std::string& c : end.captions) EXPECT_EQ(c, Caption());

  // What the run may change: what the records name as written or given a new time, and the
  // folders above such a target that were not there.
  std::set<std::wstring> changed;
  const auto may_change = [&](const fs::path& p) {
    changed.insert(Key(p));
    for (fs::path up = p.parent_path(); Key(up).size() > Key(base_).size(); up = up.parent_path()) {
      if (!At(before, Key(up))) changed.insert(Key(up));
    }
  };

  std::set<std::wstring> targets;
  for (const FileRecord& r : plan.files) {
    const fs::path target = (r.root == "data" ? data_ : inst_) / FromUtf8(r.target);
    const std::wstring key = Key(target);
    ASSERT_TRUE(targets.insert(key).second) << "the row names " << r.target << " twice";
    EXPECT_EQ(r.mode, std::to_string(row.inst_mode)) << r.key;
    const std::optional<State> was = At(before, key), now = At(after, key);
    const std::string what = r.key + " " + r.root + "\\" + r.target + ": the plan says '" + r.result +
                             "'; before the run " + Show(was) + ", after it " + Show(now);
    if (r.result == "new" || r.result == "replaced") {
      const Entry* entry = nullptr;
      for (const Entry& e : row.entries) {
        if (CompareStringOrdinal(win::FromCp932(e.name).c_str(), -1, FromUtf8(r.entry).c_str(), -1, TRUE) ==
            CSTR_EQUAL) {
          entry = &e;
        }
      }
      ASSERT_TRUE(entry) << "the plan names an entry the package lacks: " << what;
      EXPECT_EQ(was.has_value() && !was->folder, r.result == "replaced") << what;
      EXPECT_TRUE(now && !now->folder && now->content == entry->content) << what;
      EXPECT_TRUE(now && now->time == ParseTime(r.time)) << what << " (the entry's time " << r.time << ")";
      may_change(target);
    } else if (r.result == "new-time") {
      EXPECT_TRUE(was && now && !was->folder && !now->folder && now->content == was->content &&
                  now->time > was->time && now->time + 2 * kSecond >= started)
          << what;
      may_change(target);
    } else if (r.result == "kept-newer" || r.result == "left-alone" || r.result == "skipped" ||
               r.result == "not-reached" || r.result == "fails") {
      EXPECT_EQ(Show(now), Show(was)) << what;
      if (r.result == "fails") {
        EXPECT_TRUE(plan.stop_key && *plan.stop_key == r.key) << what;
      }
    } else {
      ADD_FAILURE() << "no result the run can be held to: " << what;
    }
  }

  // Disc copies, where a CopyFile path puts them: a single file at the same path below the
  // installation folder, a folder (with all it holds) in the installation folder under its own
  // name, a pattern's matches straight into the installation folder.
  for (const CopyRecord& c : plan.copies) {
    if (c.what != "copy") continue;
    const std::wstring path = FromUtf8(c.path);
    const fs::path on_disc = disc_ / path;
    std::vector<std::pair<fs::path, fs::path>> pairs;  // (on the disc, in the installation)
    std::error_code ec;
    if (path.find_first_of(L"*?") != std::wstring::npos) {
      WIN32_FIND_DATAW found{};
      HANDLE h = FindFirstFileW(on_disc.c_str(), &found);
      if (h != INVALID_HANDLE_VALUE) {
        do {
          if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            pairs.push_back({on_disc.parent_path() / found.cFileName, inst_ / found.cFileName});
          }
        } while (FindNextFileW(h, &found));
        FindClose(h);
      }
    } else if (fs::is_directory(on_disc, ec)) {
      for (fs::recursive_directory_iterator it(on_disc, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
          pairs.push_back({it->path(), inst_ / on_disc.filename() / fs::relative(it->path(), on_disc)});
        }
      }
    } else {
      pairs.push_back({on_disc, inst_ / path});
    }
    ASSERT_FALSE(pairs.empty()) << "the row's disc holds nothing at " << c.path;
    for (const auto& [from, to] : pairs) {
      const std::optional<State> disc_file = Look(from), now = At(after, Key(to));
      EXPECT_TRUE(disc_file && now && !now->folder && now->content == disc_file->content)
          << c.key << " " << c.path << ": the plan copies " << ToUtf8(from.wstring()) << " to "
          << ToUtf8(to.wstring()) << "; after the run it is " << Show(now);
      may_change(to);
    }
  }

  // Nothing else changed: inside the installation and data folders, beside them, on the disc.
  std::set<std::wstring> keys;
  for (const auto& [k, v] : before) keys.insert(k);
  for (const auto& [k, v] : after) keys.insert(k);
  for (const std::wstring& k : keys) {
    if (changed.count(k)) continue;
    const std::optional<State> was = At(before, k), now = At(after, k);
    const fs::path& where = (before.count(k) ? before.at(k) : after.at(k)).path;
    EXPECT_EQ(Show(now), Show(was)) << "changed though no record says so: " << ToUtf8(where.wstring());
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, PlanAgreement, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace updtest::e2e
