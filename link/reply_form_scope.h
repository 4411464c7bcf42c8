// Which form the fast link takes the next reply for, for the length of a scope.
#pragma once

#include "app/form_main.h"

namespace ostrel {

class ReplyFormScope {
 public:
  ReplyFormScope(TForm_MAIN& f, TForm_MAIN::ReplyForm form) : f_(f), before_(f.ExpectedReplyForm) {
    f_.ExpectedReplyForm = form;
  }
  ~ReplyFormScope() { f_.ExpectedReplyForm = before_; }
  ReplyFormScope(const ReplyFormScope&) = delete;
  ReplyFormScope& operator=(const ReplyFormScope&) = delete;

 private:
  TForm_MAIN& f_;
  TForm_MAIN::ReplyForm before_;
};

}  // namespace ostrel
