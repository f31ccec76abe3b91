# The firmware image: checked before anything carries it, then embedded by image/image.cpp.
set(PELMO4RIX_IMAGE_FILE ${CMAKE_CURRENT_SOURCE_DIR}/image/firmware.bin)
set(PELMO4RIX_IMAGE_STAMP ${CMAKE_CURRENT_BINARY_DIR}/firmware.bin.checked)

if(CMAKE_CROSSCOMPILING)
  # The checker must run on the build machine: compile it with the build machine's compiler.
  find_program(PELMO4RIX_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(PELMO4RIX_IMAGE_CHECKER ${CMAKE_CURRENT_BINARY_DIR}/host-check-image)
  add_custom_command(OUTPUT ${PELMO4RIX_IMAGE_CHECKER}
    COMMAND ${PELMO4RIX_HOST_CXX} -std=c++17 -O2 -I${CMAKE_CURRENT_SOURCE_DIR}
            -o ${PELMO4RIX_IMAGE_CHECKER} ${CMAKE_CURRENT_SOURCE_DIR}/image/check_image.cpp
    DEPENDS image/check_image.cpp image/crc32.h image/image.h)
else()
  add_executable(pelmo4rix-check-image image/check_image.cpp)
  target_include_directories(pelmo4rix-check-image PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_executable(pelmo4rix-make-image image/make_image.cpp)
  target_include_directories(pelmo4rix-make-image PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  set(PELMO4RIX_IMAGE_CHECKER pelmo4rix-check-image)
endif()

add_custom_command(OUTPUT ${PELMO4RIX_IMAGE_STAMP}
  COMMAND ${PELMO4RIX_IMAGE_CHECKER} ${PELMO4RIX_IMAGE_FILE}
  COMMAND ${CMAKE_COMMAND} -E touch ${PELMO4RIX_IMAGE_STAMP}
  DEPENDS ${PELMO4RIX_IMAGE_FILE} ${PELMO4RIX_IMAGE_CHECKER}
  COMMENT "Checking the firmware image")
add_custom_target(pelmo4rix_image_checked DEPENDS ${PELMO4RIX_IMAGE_STAMP})

function(pelmo4rix_embed_image target)
  add_dependencies(${target} pelmo4rix_image_checked)
  set_source_files_properties(image/image.cpp PROPERTIES
    OBJECT_DEPENDS ${PELMO4RIX_IMAGE_FILE}
    COMPILE_DEFINITIONS "PELMO4RIX_IMAGE_FILE=\"${PELMO4RIX_IMAGE_FILE}\";PELMO4RIX_VERSION=\"${PROJECT_VERSION}\"")
endfunction()
