// The host-framework layer: string services, string lists, components, streaming, dialogs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "framework/Framework.h"

using namespace Framework;

TEST(SysUtils, StrToIntTakesDecimalIntegersOnly) {
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt(" 999"), 999);
  EXPECT_EQ(StrToInt("-5"), -5);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("00"), 0);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  for (const char* bad :
       {"", " ", "1/", "1 ", "x1", "-", "2147483648", "99999999999999999999", "0x10", "1.5"}) {
    EXPECT_THROW(StrToInt(bad), EConvertError) << '"' << bad << '"';
  }
  EXPECT_THROW(StrToInt(std::string("1\0", 2)), EConvertError);
}

TEST(SysUtils, BoundedCopyAndAppendStopAtTheLimit) {
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  StrLCopy(buffer, "abcdef", 4);
  EXPECT_STREQ(buffer, "abcd");
  StrLCat(buffer, "xyz", 6);
  EXPECT_STREQ(buffer, "abcdxy");
  StrLCat(buffer, "more", 6);
  EXPECT_STREQ(buffer, "abcdxy");
  EXPECT_EQ(buffer[7], '#');
  EXPECT_EQ(Format("%2.2d/%4d", 3, 999), "03/ 999");
  EXPECT_EQ(Format("%s", std::string(600, 'a').c_str()).size(), 600u);
}

TEST(SysUtils, TickCountIsMonotonicMilliseconds) {
  uint32_t a = GetTickCount();
  timespec pause{0, 20 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  uint32_t b = GetTickCount();
  EXPECT_GE(static_cast<uint32_t>(b - a), 19u);
  EXPECT_LT(static_cast<uint32_t>(b - a), 2000u);
}

TEST(StringList, HoldsLinesAndCopiesOnAssign) {
  TStringList a;
  a.Add("one");
  a.Add("two");
  a.Insert(1, "between");
  EXPECT_EQ(a.Count(), 3);
  EXPECT_EQ(a.Strings(1), "between");
  a.Delete(1);
  EXPECT_EQ(a.Text(), "one\ntwo\n");
  EXPECT_EQ(a.IndexOf("two"), 1);
  EXPECT_THROW(a.Strings(2), std::out_of_range);
  TStringList b;
  b.Assign(a);
  a.SetStrings(0, "changed");
  EXPECT_EQ(b.Strings(0), "one");
  b.SetText("x\r\ny\rz\n\nlast");
  ASSERT_EQ(b.Count(), 5);
  EXPECT_EQ(b.Strings(3), "");
  EXPECT_EQ(b.Strings(4), "last");
}

TEST(Components, OwnerFreesWhatItOwns) {
  static int destroyed = 0;
  struct Counted : TComponent {
    using TComponent::TComponent;
    ~Counted() override { ++destroyed; }
  };
  destroyed = 0;
  auto* form = new TComponent(nullptr);
  auto* a = new Counted(form);
  new Counted(a);
  auto* b = new Counted(form);
  EXPECT_EQ(form->ComponentCount(), 2);
  delete b;  // leaves its owner
  EXPECT_EQ(form->ComponentCount(), 1);
  EXPECT_EQ(destroyed, 1);
  delete form;
  EXPECT_EQ(destroyed, 3);
}

TEST(Components, NamesAreIdentifiersUniqueWithinTheOwner) {
  TComponent form(nullptr);
  auto* a = new TComponent(&form);
  a->SetName("Query1");
  EXPECT_EQ(form.FindComponent("query1"), a);
  auto* b = new TComponent(&form);
  EXPECT_THROW(b->SetName("QUERY1"), EComponentError);
  EXPECT_THROW(b->SetName("1abc"), EComponentError);
  EXPECT_THROW(b->SetName("a b"), EComponentError);
  b->SetName("Query2");
  b->SetName("");
  EXPECT_EQ(b->Name(), "");
}

TEST(Components, PublishNameAndTagFirst) {
  auto props = TComponent::StaticClass().PublishedProperties();
  ASSERT_EQ(props.size(), 2u);
  EXPECT_EQ(props[0]->Name, "Name");
  EXPECT_EQ(props[1]->Name, "Tag");
}

TEST(Streaming, ComponentsReadBackAsWritten) {
  TComponent form(nullptr);
  form.SetName("Form1");
  form.SetTag(-42);
  auto* child = new TComponent(&form);
  child->SetName("Child");
  child->SetTag(7);
  const std::string text = WriteComponentText(form);
  EXPECT_EQ(text,
            "object Form1: TComponent\n  Tag = -42\n  object Child: TComponent\n    Tag = 7\n"
            "  end\nend\n");
  std::unique_ptr<TComponent> back(ReadComponentText(text, nullptr));
  EXPECT_EQ(back->Name(), "Form1");
  EXPECT_EQ(back->Tag(), -42);
  ASSERT_EQ(back->ComponentCount(), 1);
  EXPECT_EQ(back->Components(0)->Name(), "Child");
  EXPECT_EQ(back->Components(0)->Tag(), 7);
  EXPECT_EQ(WriteComponentText(*back), text);
}

TEST(Streaming, BadTextIsRefusedWithoutLeaks) {
  for (const char* bad :
       {"", "object", "object X: TNoSuchClass\nend\n", "object X: TComponent\n  Tag = 'a'\nend\n",
        "object X: TComponent\n  Nope = 1\nend\n", "object X: TComponent\n  Tag = 1\n",
        "object X: TComponent\nend\nend\n", "object X: TComponent\n  Tag = 99999999999\nend\n",
        "object X: TComponent\n  object X: TComponent\n  end\n  object X: TComponent\n  "
        "end\nend\n"}) {
    TComponent owner(nullptr);
    EXPECT_THROW(ReadComponentText(bad, &owner), EComponentError) << bad;
    EXPECT_EQ(owner.ComponentCount(), 0) << bad;
  }
}

TEST(Dialogs, TheInstalledHandlerShowsEveryBox) {
  std::vector<TMessageBox> shown;
  TMessageBoxHandler previous = SetMessageBoxHandler([&](const TMessageBox& box) {
    shown.push_back(box);
    return mrOk;
  });
  EXPECT_EQ(MessageDlg("hello", mtInformation, mbOK, 0), mrOk);
  SetMessageBoxHandler(previous);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Text, "hello");
  EXPECT_EQ(shown[0].DlgType, 2);
  EXPECT_EQ(shown[0].Buttons, 4u);
  EXPECT_EQ(shown[0].HelpCtx, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageDlg("to stderr", mtInformation, mbOK, 0), mrOk);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
}

TEST(Dialogs, BoxesOfSeveralThreadsStayWholeWhileTheHandlerChanges) {
  // Standard error into a pipe, drained by a reader, for the default handler's lines.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const int savedStderr = dup(2);
  dup2(pipeFds[1], 2);
  close(pipeFds[1]);
  std::string written;
  std::thread reader([&] {
    char chunk[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], chunk, sizeof(chunk))) > 0) written.append(chunk, n);
  });

  constexpr int kThreads = 4;
  constexpr int kBoxes = 400;
  std::atomic<int> counted{0};
  std::atomic<bool> done{false};
  std::thread changer([&] {
    while (!done) {
      SetMessageBoxHandler([&](const TMessageBox& box) {
        EXPECT_EQ(box.Text.rfind("box ", 0), 0u) << box.Text;
        ++counted;
        return mrOk;
      });
      SetMessageBoxHandler(nullptr);  // the default again
    }
  });
  std::vector<std::thread> showers;
  for (int t = 0; t < kThreads; ++t) {
    showers.emplace_back([t] {
      for (int i = 0; i < kBoxes; ++i) {
        EXPECT_EQ(
            MessageDlg("box " + std::to_string(t) + " " + std::to_string(i) + std::string(40, 'x'),
                       mtInformation, mbOK, 0),
            mrOk);
      }
    });
  }
  for (std::thread& s : showers) s.join();
  done = true;
  changer.join();
  dup2(savedStderr, 2);
  close(savedStderr);
  reader.join();
  close(pipeFds[0]);

  int lines = 0;
  std::istringstream in(written);
  for (std::string line; std::getline(in, line); ++lines) {
    EXPECT_EQ(line.rfind("box ", 0), 0u) << "a box cut or mixed: '" << line << "'";
    EXPECT_EQ(line.substr(line.size() - 40), std::string(40, 'x')) << line;
  }
  EXPECT_EQ(lines + counted, kThreads * kBoxes);
}

TEST(Palette, RegistersClassesOnPages) {
  static const TComponentClass kWidget("TWidget", &TComponent::StaticClass(), {},
                                       [](TComponent* owner) { return new TComponent(owner); });
  RegisterComponents("Test", {&kWidget});
  RegisterComponents("Test", {&kWidget});
  ASSERT_EQ(PaletteClasses("Test").size(), 1u);
  EXPECT_EQ(FindClass("TWidget"), &kWidget);
  UnRegisterComponents({&kWidget});
  EXPECT_TRUE(PaletteClasses("Test").empty());
  EXPECT_EQ(FindClass("TWidget"), nullptr);
}
