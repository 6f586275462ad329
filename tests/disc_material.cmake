# The maker of the disc material (make disc-eval, make examples) is checked by an end-to-end test
# (tests/e2e/disc_material_test.cpp), which runs it.
if(TARGET e2e_tests)
  target_compile_definitions(e2e_tests PRIVATE DISC_MATERIAL_BIN="$<TARGET_FILE:disc_material>")
  add_dependencies(e2e_tests disc_material)
endif()
