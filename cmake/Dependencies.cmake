# The libraries the product's sources use beside Qt, and ccache when it is there: shared by the
# main project and the fuzz targets (fuzz/), which build some of the same sources with clang.
find_package(QCoro6 REQUIRED COMPONENTS Core Network)
find_package(Qt6Keychain REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
endif()
