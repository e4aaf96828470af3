// The stub's edge (engine/edge.h): the engine's failures, stages and questions shown in the
// program's own texts (app/texts.h), and the boxes that the windows show for their own part.
#pragma once

// Shows one of the program's own texts (CP932 bytes, zero-terminated), converted for the
// seam, with the program title as caption. owner: main_window or nullptr.
int show_message(void* owner, const char* cp932_text, unsigned flags);
// The same for a text made of a CP932 prefix and a UTF-8 part (a path, a name), in this
// order when utf8_first is false, otherwise the UTF-8 part first. A text that does not fit
// the seam's buffers is cut; one that is not valid CP932 shows as empty.
int show_message_with(void* owner, const char* cp932_text, const char* utf8_part,
                      bool utf8_first, unsigned flags);

// The edge's routines, as the stub has them:
//  - fail_run: the failure's box with the error icon, owned by main_window, except the two
//    length-check boxes, which have no owner:
//      failure_read     "ファイルの読み込みに失敗しました。"
//      failure_write    "ファイルの書き込みに失敗しました。"
//      failure_damaged  "ファイルが壊れています。"
//      failure_folder   "フォルダが作れませんでした:" and the failed part of the path
//      failure_shorter  "ファイルのサイズが元々のファイルより小さいです。解凍できません。"
//      failure_longer   "ファイルのサイズが元々のファイルより大きいです。このファイルはウイルス
//                        に感染している可能性があります。解凍できません。"
//    then abandon_run, and the process ends with exit code 1: a run that could not finish
//    is a failure to whatever started the program.
//  - report_stage: the progress window's status line, "処理中:", "スキップ中:" or "解凍中:"
//    followed by the path.
//  - ask_overwrite: the path followed by "はすでに存在します。上書きしますか？", Yes, No and
//    Cancel with the question icon, owned by main_window.
