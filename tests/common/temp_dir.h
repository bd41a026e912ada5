// A fresh directory for the running test, named for the test and the
// process, so that tests touching files never share a path under any
// `ctest -j`. It is removed with its contents when the object goes.
#pragma once

#include <string>

namespace tvtest {

class temp_dir {
 public:
  temp_dir();  // throws (a test failure) when the directory cannot be made
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace tvtest
