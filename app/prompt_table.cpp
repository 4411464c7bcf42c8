#include "app/prompt_table.h"

namespace ostrel {

// clang-format off
// Four entries per message: English, Traditional Chinese, Simplified Chinese, Japanese.
constexpr const char* PromptTable[kPromptEntryCount] = {
    // 0: program name, first part of the window title
    "Ostrel File Manager",
    "Ostrel 檔案管理員",
    "Ostrel 档案管理员",
    "Ostrel\u3000ファイルマネジャー",
    // 1: version
    "v5.01",
    "v5.01",
    "v5.01",
    "v5.01",
    // 2: title tag of BuildMode 1
    "R&D",
    "研發",
    "研发",
    "研究開発",
    // 3: title tag of BuildMode 0
    "DEBUG",
    "除錯",
    "调试",
    "デバッグ",
    // 4..6: step panel 1
    "Note:",
    "注意:",
    "注意:",
    "注意:",
    "Connecting",
    "連線",
    "连接",
    "接続",
    "Please connect the USB cable to the Velmo-II/Ostrel and the PC's USB port.",
    "請用 USB 傳輸線連接 Velmo-II/Ostrel 與電腦的 USB 連接埠。",
    "请用 USB 数据线连接 Velmo-II/Ostrel 与电脑的 USB 端口。",
    "USB ケーブルで Velmo-II/Ostrel と PC の USB ポートを接続してください。",
    // 7..9: step panel 2
    "Note:",
    "注意:",
    "注意:",
    "注意:",
    "Load file",
    "載入檔案",
    "载入档案",
    "ファイルのロード",
    "The S/N(Serial Number) and loaded files(listed on right half region) were detected.\r\n"
    "Please click the [LOAD] button to select the vehicle diagnostic files(.BN).\r\n"
    "These software will be listed on the left half region after loaded.\r\n"
    "Then click the [BURN] button to burn the loaded software to the Velmo-II/cartridge.",
    "已偵測到 S/N(序號)及已載入的檔案(列於右半區)。\r\n"
    "請按 [載入檔案] 按鈕選擇車輛診斷檔案(.BN)。\r\n"
    "載入後，這些軟體會列於左半區。\r\n"
    "接著請按 [燒錄] 按鈕，將載入的軟體燒錄到 Velmo-II/軟體匣。",
    "已检测到 S/N(序列号)及已载入的档案(列于右半区)。\r\n"
    "请点击 [载入档案] 按钮选择车辆诊断档案(.BN)。\r\n"
    "载入后，这些软件会列于左半区。\r\n"
    "接着请点击 [烧录] 按钮，将载入的软件烧录到 Velmo-II/软件匣。",
    "S/N(シリアル番号)とロード済みのファイル(右半分に表示)が検出されました。\r\n"
    "[ロード] ボタンをクリックして、車両診断ファイル(.BN)を選択してください。\r\n"
    "ロード後、これらのソフトウェアは左半分に表示されます。\r\n"
    "次に [焼く] ボタンをクリックして、ロードしたソフトウェアを Velmo-II/カートリッジに焼いてください。",
    // 10..12: step panel 3
    "Note:",
    "注意:",
    "注意:",
    "注意:",
    "Programming",
    "燒錄",
    "烧录",
    "書き込み",
    "Select file and click the [BURN] button to burn the software to the Velmo-II/cartridge.\r\n"
    "Wait until the status monitor indicates that the select software has been successfully "
    "downloaded to the Velmo-II/cartridge then remove the USB cable.",
    "請選擇檔案並按 [燒錄] 按鈕，將軟體燒錄到 Velmo-II/軟體匣。\r\n"
    "請等到狀態列顯示所選軟體已成功下載到 Velmo-II/軟體匣後，再拔除 USB 傳輸線。",
    "请选择档案并点击 [烧录] 按钮，将软件烧录到 Velmo-II/软件匣。\r\n"
    "请等到状态栏显示所选软件已成功下载到 Velmo-II/软件匣后，再拔除 USB 数据线。",
    "ファイルを選択し、[焼く] ボタンをクリックしてソフトウェアを Velmo-II/カートリッジに焼いてください。\r\n"
    "選択したソフトウェアが Velmo-II/カートリッジに正常にダウンロードされたとステータス表示に"
    "出るまで待ってから、USB ケーブルを外してください。",
    // 13..15: step panel 4
    "Note:",
    "注意:",
    "注意:",
    "注意:",
    "Finish",
    "完成",
    "完成",
    "完了",
    "After removing the USB cable,now,insert the Ostrel into the base of scanner and start your "
    "comprehensive diagnosis of vehicles.",
    "拔除 USB 傳輸線後，請將 Ostrel 插入掃描器底座，即可開始完整的車輛診斷。",
    "拔除 USB 数据线后，请将 Ostrel 插入扫描仪底座，即可开始全面的车辆诊断。",
    "USB ケーブルを外したら、Ostrel をスキャナーのベースに差し込んで、車両の総合診断を始めてください。",
    // 16..21: progress-bar labels, identity labels, LOAD caption, space unit
    "Programming...",
    "燒錄中...",
    "烧录中...",
    "書き込み中...",
    "Checking...",
    "檢查中...",
    "检查中...",
    "チェック中...",
    "S/N :",
    "序號 :",
    "序列号 :",
    "シリアル番号 :",
    "Status :",
    "狀態 :",
    "状态 :",
    "ステータス :",
    "LOAD",
    "載入檔案",
    "载入档案",
    "ロード",
    "Unit",
    "單位",
    "单位",
    "単位",
    // 22..66: status lines, log lines and dialogs
    "Please update new installation software!!",
    "請更新為新的安裝軟體!!",
    "请更新为新的安装软件!!",
    "新しいインストールソフトウェアに更新してください!!",
    "Please wait",
    "請稍候",
    "请稍候",
    "お待ちください",
    "Detecting...",
    "偵測中...",
    "检测中...",
    "検出中...",
    "Device EXIST",
    "已偵測到裝置",
    "已检测到设备",
    "デバイスが見つかりました",
    "Device not EXIST",
    "未偵測到裝置",
    "未检测到设备",
    "デバイスが見つかりません",
    "Loading.....",
    "檔案載入中.....",
    "档案载入中.....",
    "ロード中.....",
    "Load OK!",
    "檔案載入成功!",
    "档案载入成功!",
    "ロード成功",
    "Load Fail!",
    "檔案載入失敗!",
    "档案载入失败!",
    "ロード失敗",
    "Load Cancel!",
    "檔案載入已取消!",
    "档案载入已取消!",
    "ロード中止",
    "Erasing.....",
    "抹除中.....",
    "擦除中.....",
    "消去中.....",
    "Erase OK!",
    "抹除成功!",
    "擦除成功!",
    "消去成功",
    "Erase Fail!",
    "抹除失敗!",
    "擦除失败!",
    "消去失敗",
    "Programming.....",
    "燒錄中.....",
    "烧录中.....",
    "書き込み中.....",
    "Program OK!",
    "燒錄成功!",
    "烧录成功!",
    "書き込み成功",
    "Program Fail!",
    "燒錄失敗!",
    "烧录失败!",
    "書き込み失敗",
    "Verifying.....",
    "驗證中.....",
    "验证中.....",
    "ベリファイ中.....",
    "Verify OK!",
    "驗證成功!",
    "验证成功!",
    "ベリファイ成功",
    "Verify Fail!",
    "驗證失敗!",
    "验证失败!",
    "ベリファイ失敗",
    "Checking.....",
    "檢查中.....",
    "检查中.....",
    "チェック中.....",
    "Check OK!",
    "檢查通過!",
    "检查通过!",
    "チェック成功",
    "Check Fail!",
    "檢查失敗!",
    "检查失败!",
    "チェック失敗",
    "Getting Ostrel file allocation table.....",
    "讀取 Ostrel 檔案配置表中.....",
    "读取 Ostrel 档案配置表中.....",
    "Ostrel ファイルアロケーションテーブル読み込み中.....",
    "Getting Ostrel file allocation table OK!!",
    "讀取 Ostrel 檔案配置表成功!!",
    "读取 Ostrel 档案配置表成功!!",
    "Ostrel ファイルアロケーションテーブル読み込み成功!!",
    "Getting Ostrel file allocation table fail!!",
    "讀取 Ostrel 檔案配置表失敗!!",
    "读取 Ostrel 档案配置表失败!!",
    "Ostrel ファイルアロケーションテーブル読み込み失敗!!",
    "Ostrel file allocation table not EXIST!!",
    "Ostrel 檔案配置表不存在!!",
    "Ostrel 档案配置表不存在!!",
    "Ostrel ファイルアロケーションテーブルがありません!!",
    // 47 + count + 50 form one question ("Remove3 items??")
    "Remove",
    "移除",
    "移除",
    "削除",
    "Remove OK!",
    "移除成功!",
    "移除成功!",
    "削除成功",
    "Remove Fail!",
    "移除失敗!",
    "移除失败!",
    "削除失敗",
    " items??",
    "個項目??",
    "个项目??",
    "件??",
    // 51 + "OBDII" + " ??"
    "Overwrite",
    "覆寫",
    "覆盖",
    "上書き",
    "Cannot remove system file!!",
    "無法移除系統檔案!!",
    "无法移除系统档案!!",
    "システムファイルは削除できません!!",
    "Load Cancel!! System file is not exist!!",
    "檔案載入已取消!! 系統檔案不存在!!",
    "档案载入已取消!! 系统档案不存在!!",
    "ロード中止!! システムファイルがありません!!",
    "Free space is not enough!!",
    "可用空間不足!!",
    "可用空间不足!!",
    "空き容量が足りません!!",
    "Free space must adjust to install software!!",
    "必須整理可用空間才能安裝軟體!!",
    "必须整理可用空间才能安装软件!!",
    "ソフトウェアをインストールするには空き容量の整理が必要です!!",
    "Free space adjusting.....",
    "可用空間整理中.....",
    "可用空间整理中.....",
    "空き容量整理中.....",
    "Free space adjust finish!!",
    "可用空間整理完成!!",
    "可用空间整理完成!!",
    "空き容量の整理が完了しました!!",
    "Free space adjust fail!!",
    "可用空間整理失敗!!",
    "可用空间整理失败!!",
    "空き容量の整理に失敗しました!!",
    // brand + 59
    " has already existed in the module. Do you still want this to be chosen for downloading??",
    " 已存在於模組中。仍要選擇下載此軟體嗎??",
    " 已存在于模块中。仍要选择下载此软件吗??",
    " はすでにモジュールにあります。それでもダウンロード対象に選びますか??",
    // Asked after a burn: Yes finishes the work (step 4), the program stays open.
    "Do you want to exit??",
    "是否要結束作業??",
    "是否要结束作业??",
    "作業を終了しますか??",
    // 61, 62: reserved
    "", "", "", "",
    "", "", "", "",
    // 63: FaultPrefix, followed by a FaultCode
    "Fault code:",
    "錯誤碼:",
    "错误码:",
    "故障コード:",
    "Please turn off other programs while running [Ostrel File Manager], because other programs "
    "maybe cause [Ostrel File Manager] to fail.",
    "執行 [Ostrel File Manager] 時請關閉其他程式，因為其他程式可能導致 [Ostrel File Manager] "
    "執行失敗。",
    "运行 [Ostrel File Manager] 时请关闭其他程序，因为其他程序可能导致 [Ostrel File Manager] "
    "运行失败。",
    "[Ostrel File Manager] の実行中は他のプログラムを終了してください。他のプログラムが原因で "
    "[Ostrel File Manager] が失敗するおそれがあります。",
    "Do you want to backup software??",
    "是否要備份軟體??",
    "是否要备份软件??",
    "ソフトウェアをバックアップしますか??",
    "Writing Ostrel file allocation table.....",
    "寫入 Ostrel 檔案配置表中.....",
    "写入 Ostrel 档案配置表中.....",
    "Ostrel ファイルアロケーションテーブル書き込み中.....",
    // 67..76: catalogue panels
    "Selected files for install",
    "已選擇要安裝的檔案",
    "已选择要安装的档案",
    "インストールするファイル",
    "Files listed in Velmo-II/Ostrel",
    "Velmo-II/Ostrel 中的檔案",
    "Velmo-II/Ostrel 中的档案",
    "Velmo-II/Ostrel 内のファイル",
    "Free space:",
    "可用空間:",
    "可用空间:",
    "空き容量:",
    "Used space:",
    "已用空間:",
    "已用空间:",
    "使用容量:",
    "Required space:",
    "所需空間:",
    "所需空间:",
    "必要容量:",
    "Delete",
    "刪除",
    "删除",
    "削除",
    "Select all",
    "全選",
    "全选",
    "すべて選択",
    "Cancel selected",
    "取消選擇",
    "取消选择",
    "選択解除",
    "Copy to cartridge",
    "複製到軟體匣",
    "复制到软件匣",
    "カートリッジへコピー",
    "Delete selected",
    "刪除所選項目",
    "删除所选项目",
    "選択項目を削除",
    // 77..86: dialogs
    "Program error, please contact franchisee!",
    "程式錯誤，請聯絡經銷商!",
    "程序错误，请联系经销商!",
    "プログラムエラーです。販売店にお問い合わせください!",
    // 78, 79, 80: reserved
    "", "", "", "",
    "", "", "", "",
    "", "", "", "",
    "OBDII Version is too old, can not download",
    "OBDII 版本過舊，無法下載",
    "OBDII 版本过旧，无法下载",
    "OBDII のバージョンが古すぎるため、ダウンロードできません",
    "OBDII Version is too old, please update OBDII version to K47(v4.00) or VelmoII(v1.00)",
    "OBDII 版本過舊，請將 OBDII 版本更新為 K47(v4.00) 或 VelmoII(v1.00)",
    "OBDII 版本过旧，请将 OBDII 版本更新为 K47(v4.00) 或 VelmoII(v1.00)",
    "OBDII のバージョンが古すぎます。OBDII を K47(v4.00) または VelmoII(v1.00) に更新してください",
    "BURN",
    "燒錄",
    "烧录",
    "焼く",
    "USB driver changed, please un-plug USB cable and restart windows",
    "USB 驅動程式已變更，請拔除 USB 傳輸線並重新啟動電腦",
    "USB 驱动程序已更改，请拔除 USB 数据线并重新启动电脑",
    "USB ドライバーが変更されました。USB ケーブルを抜いて、PC を再起動してください",
    "Out of the file numbers in this Memory, please erase some files",
    "此記憶體的檔案數量已達上限，請刪除部分檔案",
    "此存储器的档案数量已达上限，请删除部分档案",
    "このメモリのファイル数が上限に達しました。いくつかのファイルを削除してください",
    "Out of the file numbers in this Directory, please erase some files",
    "此目錄的檔案數量已達上限，請刪除部分檔案",
    "此目录的档案数量已达上限，请删除部分档案",
    "このディレクトリのファイル数が上限に達しました。いくつかのファイルを削除してください",
    // 87: end marker, never shown
    "prompt_list_end",
    "prompt_list_end",
    "prompt_list_end",
    "prompt_list_end",
};
// clang-format on

// A missing entry would shift every later message into the wrong slot.
static_assert(PromptTable[kPromptEntryCount - 1] != nullptr,
              "the table has fewer than 352 entries");

std::string_view promptText(int message, int language) {
  if (message < 0 || message >= kMessageCount || language < 0 || language >= kLanguageCount) {
    return {};
  }
  const char* text = PromptTable[promptIndex(message, language)];
  return text != nullptr ? std::string_view(text) : std::string_view();
}

int languageFontCharset(int language) {
  switch (language) {
    case kLanguageTraditionalChinese:
    case kLanguageSimplifiedChinese:
      return 136;
    case kLanguageJapanese:
      return 128;
    default:
      return 0;
  }
}

std::string_view cusLoadFileCaption(int language) {
  if (language == kLanguageTraditionalChinese) return "載入";
  return promptText(20, language);
}

std::string_view button3Caption(int language) {
  if (language == kLanguageTraditionalChinese) return "清空軟體匣";
  return "Erase All";
}

std::string_view closeDeferredText(int language) {
  switch (language) {
    case kLanguageTraditionalChinese:
      return "作業結束後關閉視窗...";
    case kLanguageSimplifiedChinese:
      return "操作结束后关闭窗口...";
    case kLanguageJapanese:
      return "処理が終わると閉じます...";
    default:
      return "Closing when this operation ends...";
  }
}

}  // namespace ostrel

namespace ostrel {

namespace {
// clang-format off
// One row per ExtraText, in its order: English, Traditional Chinese,
// Simplified Chinese, Japanese.
constexpr const char* kExtraTexts[size_t(ExtraText::Count)][kLanguageCount] = {
    {"sectors", "磁區", "扇区", "セクタ"},
    {"{} left", "剩餘 {}", "剩余 {}", "残り {}"},
    {"{} of about {}", "{} / 約 {}", "{} / 约 {}", "{} / 約 {}"},
    {"This file is not a software package (.bn).", "此檔案不是軟體套件 (.bn)。",
     "此档案不是软件包 (.bn)。", "このファイルはソフトウェアパッケージ (.bn) ではありません。"},
    {"Not a package: read as an S-record image", "不是套件：以 S-record 映像讀取",
     "不是软件包：以 S-record 映像读取", "パッケージではありません：S レコードのイメージとして読み込み"},
    {"Not a package: read as a binary image", "不是套件：以二進位映像讀取",
     "不是软件包：以二进制映像读取", "パッケージではありません：バイナリイメージとして読み込み"},
    {"Saved to {}", "已儲存至 {}", "已保存至 {}", "保存先: {}"},
    {"Size of the work: offset of its last byte (hex)", "作業大小：最後一個位元組的位址 (十六進位)",
     "作业大小：最后一个字节的地址 (十六进制)", "作業の大きさ：最後のバイトのアドレス (16 進)"},
    {"Done so far: offset of the last byte (hex)", "已完成：最後一個位元組的位址 (十六進位)",
     "已完成：最后一个字节的地址 (十六进制)", "完了分：最後のバイトのアドレス (16 進)"},
    {"Checksum of the loaded file (hex)", "載入檔案的檢查碼 (十六進位)",
     "载入档案的校验码 (十六进制)", "ロードしたファイルのチェックサム (16 進)"},
    {"READ: first sector (hex)", "讀取：起始磁區 (十六進位)", "读取：起始扇区 (十六进制)",
     "読み出し：開始セクタ (16 進)"},
    {"READ: last sector (hex)", "讀取：結束磁區 (十六進位)", "读取：结束扇区 (十六进制)",
     "読み出し：終了セクタ (16 進)"},
    {"READ on an Ostrel IV: first sector, typed in hex", "Ostrel IV 讀取：起始磁區，以十六進位輸入",
     "Ostrel IV 读取：起始扇区，以十六进制输入", "Ostrel IV の読み出し：開始セクタ (16 進で入力)"},
    {"READ on an Ostrel IV: last sector, typed in hex", "Ostrel IV 讀取：結束磁區，以十六進位輸入",
     "Ostrel IV 读取：结束扇区，以十六进制输入", "Ostrel IV の読み出し：終了セクタ (16 進で入力)"},
    {"Time of the whole AUTO run", "AUTO 全程時間", "AUTO 全程时间", "AUTO 全体の時間"},
    {"Time of the last erase", "上次抹除的時間", "上次擦除的时间", "前回の消去時間"},
    {"Time of the last program", "上次燒錄的時間", "上次烧录的时间", "前回の書き込み時間"},
    {"Time of the last verify; during READ, of the last 100 sectors",
     "上次驗證的時間；讀取時為最近 100 個磁區的時間", "上次验证的时间；读取时为最近 100 个扇区的时间",
     "前回のベリファイ時間。読み出し中は直近 100 セクタの時間"},
    {"Software ID of the last package loaded", "最後載入套件的軟體 ID", "最后载入软件包的软件 ID",
     "最後にロードしたパッケージのソフトウェア ID"},
    {"The file loaded last", "最後載入的檔案", "最后载入的档案", "最後にロードしたファイル"},
    {"Progress of the running operation", "執行中作業的進度", "执行中作业的进度",
     "実行中の処理の進み具合"},
};
// clang-format on
}  // namespace

std::string_view extraText(ExtraText text, int language) {
  const size_t row = size_t(text);
  if (row >= size_t(ExtraText::Count)) return {};
  if (language < 0 || language >= kLanguageCount) language = kLanguageEnglish;
  return kExtraTexts[row][language];
}

std::string extraText(ExtraText text, int language, std::string_view a, std::string_view b) {
  std::string out(extraText(text, language));
  for (std::string_view value : {a, b}) {
    const size_t at = out.find("{}");
    if (at == std::string::npos) break;
    out.replace(at, 2, value);
  }
  return out;
}

}  // namespace ostrel
