# The release package of the windows preset:
#   cmake --build --preset windows --target package
# gives kestra-helper-<version>-win64.zip with kestra-helper.exe,
# kestra-demo.exe, kestra_client.dll with include/kestra_client.h and
# lib/kestra_client.lib, the README, the licence and the third-party notices.
if(NOT WIN32)
  return()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kestra-helper)
set(CPACK_PACKAGE_VENDOR "Kestra helper authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kestra-helper-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
