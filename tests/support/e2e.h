// The real viewer binary under X, as the end-to-end tests run it: started as a user would,
// its lines on stderr read while it runs, driven with xdotool and photographed with ImageMagick.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

using namespace std::chrono_literals;

inline std::string shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "end-to-end tests need an X display";
    dir_ = scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // `env` holds NAME=VALUE settings for the viewer alone.
  void launch(const std::vector<std::string>& args, bool display = true,
              const std::vector<std::string>& env = {}) {
    // Each run its own files, so that the lines of one viewer are read while another runs.
    stderrPath_ = dir_ + "/stderr" + std::to_string(++launches_) + ".txt";
    stdoutPath_ = dir_ + "/stdout" + std::to_string(launches_) + ".txt";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      dup2(open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      if (!display) unsetenv("DISPLAY");
      for (const std::string& setting : env) putenv(strdup(setting.c_str()));
      std::vector<char*> argv{const_cast<char*>(LUMIVANE_BINARY)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(LUMIVANE_BINARY, argv.data());
      _exit(127);
    }
  }

  // Waits for the viewer's window to be on screen and drawn; returns its X id.
  void waitForWindow() {
    for (int i = 0; i < 100 && window_.empty(); ++i) {
      std::this_thread::sleep_for(100ms);
      const std::string ids = shell("xdotool search --name '^Lumivane - Brackwell$' 2>/dev/null");
      window_ = ids.substr(0, ids.find('\n'));
    }
    ASSERT_FALSE(window_.empty()) << "no window appeared; stderr: " << readFile(stderrPath_);
    // With no window manager to place it, the window sits at (-1, -1), a pixel off screen.
    shell("xdotool windowmove " + window_ + " 0 0");
    std::this_thread::sleep_for(600ms);  // a few uploads and redraws
  }

  // The viewer's error output once it holds `expected`, or after `seconds`. A camera's line comes
  // after OpenCV's capture has loaded, which can be well after the window appears.
  std::string stderrWith(const std::string& expected, int seconds = 5) {
    std::string err = readFile(stderrPath_);
    for (int i = 0; i < seconds * 10 && err.find(expected) == std::string::npos; ++i) {
      std::this_thread::sleep_for(100ms);
      err = readFile(stderrPath_);
    }
    return err;
  }

  cv::Mat screenshot() {
    const std::string path = dir_ + "/shot.png";
    shell("import -window " + window_ + " png:" + path);
    cv::Mat shot = cv::imread(path);
    EXPECT_EQ(shot.size(), cv::Size(640, 480)) << "screenshot of the window";
    return shot;
  }

  void xdotool(const std::string& commands, std::chrono::milliseconds settle = 400ms) {
    shell("xdotool " + commands);
    std::this_thread::sleep_for(settle);
  }

  // Left button down at `from`, one motion to `to`, up there.
  void drag(cv::Point from, cv::Point to) {
    std::ostringstream c;
    c << "mousemove --window " << window_ << " " << from.x << " " << from.y
      << " mousedown 1 sleep 0.1 mousemove --window " << window_ << " " << to.x << " " << to.y
      << " sleep 0.1 mouseup 1";
    xdotool(c.str());
  }

  void key(const std::string& name) {
    xdotool("mousemove --window " + window_ + " 320 240 key " + name);
  }

  // Exit status, or -1 if the process has not ended within `limit`.
  int waitExit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  // A picture of random coloured blocks: every neighbourhood is recognisable, so a shift of
  // the picture on screen can be measured.
  std::string blocksPicture() {
    cv::Mat picture(512, 1024, CV_8UC3);
    std::mt19937 random(7);
    for (int y = 0; y < 512; y += 16) {
      for (int x = 0; x < 1024; x += 16) {
        const cv::Scalar colour(40 + random() % 216, 40 + random() % 216, 40 + random() % 216);
        cv::rectangle(picture, cv::Rect(x, y, 16, 16), colour, cv::FILLED);
      }
    }
    const std::string path = dir_ + "/blocks.png";
    EXPECT_TRUE(cv::imwrite(path, picture));
    return path;
  }

  std::string dir_, stderrPath_, stdoutPath_, window_;
  pid_t pid_ = -1;
  int launches_ = 0;
};
