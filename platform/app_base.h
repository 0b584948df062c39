// A minimal application object: the program's entry point calls the one
// instance's InitInstance, then its ExitInstance, whose answer becomes the
// process's exit status.
#ifndef VORN_PLATFORM_APP_BASE_H_
#define VORN_PLATFORM_APP_BASE_H_

namespace vorn::platform {

class AppBase {
 public:
  AppBase();
  virtual ~AppBase();
  AppBase(const AppBase&) = delete;
  AppBase& operator=(const AppBase&) = delete;

  // The start-up hook. A false result ends the process without any message
  // loop (this system never has one).
  virtual bool InitInstance() { return true; }
  // Called once InitInstance has returned; the process's exit status.
  virtual int ExitInstance() { return 0; }

  // The application object built during static initialisation, or null.
  static AppBase* Current();
};

// Runs the current application object; returns the process exit status
// (0 when there is no application object).
int RunApplication();

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_APP_BASE_H_
