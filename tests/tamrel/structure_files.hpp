// A fixture of the tests that read structure files in the test process: an
// installation with copper scattering data, a folder for the structure
// files and a run scope under the run's outermost error handler; the phases
// read are freed at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/data.hpp"
#include "crystal/afa.hpp"
#include "crystal/tamrel.hpp"
#include "crystal_harness.hpp"
#include "model/modell.hpp"
#include "tamrelrun.hpp"

namespace trun {

class StructureFiles : public ::testing::Test {
 protected:
  ktest::CrystalInstall install{installfiles()};
  ktest::TempDir dir;
  ktest::RunScope scope;

  void SetUp() override {
    core::dataerr_newhandler(core::dataerr_printexit);
    crystal::afainit("CU");
  }
  void TearDown() override {
    freestructures();
    core::dataerr_oldjmp();
  }
  // Frees the phases read and the counts of goals and phases.
  void freestructures() {
    crystal::freephases();
    crystal::goalzahl = 0;
    model::nphasen = 0;
  }
  // Writes the structure file name in the folder and names it STRUC[i].
  void file(int i, const std::string& name, const std::string& text) {
    ktest::write_file(dir.file(name), text);
    core::SetIndexStrVar("STRUC", 1, &i, dir.file(name).c_str());
  }
};

}  // namespace trun
