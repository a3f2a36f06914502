// The updater's own texts, code page 932 bytes, exactly as the player sees them. Each is
// converted to UTF-16 with code page 932 at the window, so they read the same on any system.
#pragma once

#include <string_view>

namespace upd::texts {

// 「%s」がインストールされていません
inline constexpr std::string_view kNotInstalledFormat =
    "\x81u%s\x81v\x82\xAA\x83" "C\x83\x93\x83X\x83g\x81[\x83\x8B\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1";
// インストール先に "SETUP.INI" ファイルが見つかりません
inline constexpr std::string_view kSetupIniMissing =
    "\x83" "C\x83\x93\x83X\x83g\x81[\x83\x8B\x90\xE6\x82\xC9 \"SETUP.INI\" \x83t\x83@\x83" "C\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1";
// %s アップデータ %s
inline constexpr std::string_view kCaptionFormat =
    "%s \x83" "A\x83" "b\x83v\x83" "f\x81[\x83^ %s";
// 「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、アップデートを中止する場合は [キャンセル] を押して下さい
inline constexpr std::string_view kGameRunningFormat =
    "\x81u%s\x81v\x82\xAA\x8E\xC0\x8Ds\x92\x86\x82\xC5\x82\xB7\x81" "B\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xF0\x91\xB1\x8Ds\x82\xB7\x82\xE9\x8F\xEA\x8D\x87\x82\xCD\x83Q\x81[\x83\x80\x82\xF0\x8FI\x97\xB9\x82\xB5\x82\xC4\x82\xA9\x82\xE7 [OK] \x82\xF0\x81" "A\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xF0\x92\x86\x8E~\x82\xB7\x82\xE9\x8F\xEA\x8D\x87\x82\xCD [\x83L\x83\x83\x83\x93\x83Z\x83\x8B] \x82\xF0\x89\x9F\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2";
// アップデートが中断されました
inline constexpr std::string_view kInterrupted =
    "\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xAA\x92\x86\x92" "f\x82\xB3\x82\xEA\x82\xDC\x82\xB5\x82\xBD";
// 「%s」のアップデートを開始します
inline constexpr std::string_view kStartFormat =
    "\x81u%s\x81v\x82\xCC\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xF0\x8AJ\x8En\x82\xB5\x82\xDC\x82\xB7";
// アップデートを実行します
inline constexpr std::string_view kConfirmText =
    "\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xF0\x8E\xC0\x8Ds\x82\xB5\x82\xDC\x82\xB7";
// アップデートを実行しています
inline constexpr std::string_view kRunningText =
    "\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xF0\x8E\xC0\x8Ds\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB7";
// アップデートは完了しました
inline constexpr std::string_view kFinishedText =
    "\x83" "A\x83" "b\x83v\x83" "f\x81[\x83g\x82\xCD\x8A\xAE\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// 完了
inline constexpr std::string_view kFinishLabel =
    "\x8A\xAE\x97\xB9";
// ディスク容量が足りません。\r%s ドライブに %i バイトの空き容量が必要です
inline constexpr std::string_view kDiskShortFormat =
    "\x83" "f\x83" "B\x83X\x83N\x97" "e\x97\xCA\x82\xAA\x91\xAB\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B\r%s \x83h\x83\x89\x83" "C\x83u\x82\xC9 %i \x83o\x83" "C\x83g\x82\xCC\x8B\xF3\x82\xAB\x97" "e\x97\xCA\x82\xAA\x95K\x97v\x82\xC5\x82\xB7";
// ディスク容量が足りません。%s ドライブに %i バイトの空き容量が必要です (the box of an entry
// that does not fit; the information line's text above breaks the line after the first sentence)
inline constexpr std::string_view kEntryDiskShortFormat =
    "\x83" "f\x83" "B\x83X\x83N\x97" "e\x97\xCA\x82\xAA\x91\xAB\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B%s \x83h\x83\x89\x83" "C\x83u\x82\xC9 %i \x83o\x83" "C\x83g\x82\xCC\x8B\xF3\x82\xAB\x97" "e\x97\xCA\x82\xAA\x95K\x97v\x82\xC5\x82\xB7";
// ファイルの書き込みに失敗しました
inline constexpr std::string_view kWriteFailed =
    "\x83t\x83@\x83" "C\x83\x8B\x82\xCC\x8F\x91\x82\xAB\x8D\x9E\x82\xDD\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい
inline constexpr std::string_view kInsertDiscFormat =
    "\x82" "b\x82" "c\x81|\x82q\x82n\x82l\x83h\x83\x89\x83" "C\x83u\x82\xC9\x81u%s\x81v\x83" "f\x83" "B\x83X\x83N %i \x82\xF0\x93\xFC\x82\xEA\x82\xC4\x89\xBA\x82\xB3\x82\xA2";
// %s をコピーしています
inline constexpr std::string_view kCopyingFormat =
    "%s \x82\xF0\x83R\x83s\x81[\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB7";
// SETUP.INI : "%s" のコピーに失敗しました
inline constexpr std::string_view kCopyFailedFormat =
    "SETUP.INI : \"%s\" \x82\xCC\x83R\x83s\x81[\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
inline constexpr std::string_view kNoUpdateItems = "No 'UpdateFileXX' and 'CopyFileXX'";

// SETUP.INI : %s エラー
inline constexpr std::string_view kListError = "SETUP.INI : %s \x83\x47\x83\x89\x81\x5B";
// SETUP.INI : SetupBmps エラー
inline constexpr std::string_view kSetupBmpError = "SETUP.INI : SetupBmps \x83\x47\x83\x89\x81\x5B";
// SETUP.INI : InstallSelect オーバー
inline constexpr std::string_view kInstallSelectOver = "SETUP.INI : InstallSelect \x83\x49\x81\x5B\x83\x6F\x81\x5B";
// SETUP.INI : Shortcuts オーバー
inline constexpr std::string_view kShortcutsOver = "SETUP.INI : Shortcuts \x83\x49\x81\x5B\x83\x6F\x81\x5B";
// SETUP.INI : InstallAddFiles エラー
inline constexpr std::string_view kInstallAddFilesError = "SETUP.INI : InstallAddFiles \x83\x47\x83\x89\x81\x5B";
// インストール方法を選択して下さい
inline constexpr std::string_view kDefaultSelectMessage =
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x95\xFB\x96\x40\x82\xF0\x91\x49\x91\xF0"
    "\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2";
// SETUP.INI : %s キーが存在しません
inline constexpr std::string_view kSetupKeyMissing =
    "SETUP.INI : %s \x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1";
// %s : %s キーが存在しません
inline constexpr std::string_view kUpdateKeyMissing =
    "%s : %s \x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1";
inline constexpr std::string_view kResourceReadError = "RESOURCE READ ERROR";
inline constexpr std::string_view kEntryNotFoundMessage = "Can't Find File in Resource !!";
inline constexpr std::string_view kNoMemoryMessage = "Can't Allocate Memory !!";

// The caption of the boxes about the description files
inline constexpr std::string_view kSetupErrorCaption = "INSTCMMN";

}  // namespace upd::texts
