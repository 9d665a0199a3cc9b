# The product's names, and a version resource for each executable from the one
# project version (PROJECT_VERSION, set in the top-level CMakeLists.txt).
set(KELO_COMPANY "KELO")
set(KELO_PRODUCT "KELO Label Printing Agent")
set(KELO_COPYRIGHT "Copyright (C) 2026 KELO")

# Adds a VERSIONINFO resource to `target`, a Windows executable.
function(kelo_version_resource target description)
  set(KELO_FILE_DESCRIPTION "${description}")
  set(KELO_INTERNAL_NAME "${target}")
  set(KELO_ORIGINAL_FILENAME "${target}.exe")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
