# spindra_render: turns fan frames back into pictures (inverse polar map).
# Plain C11 beside the engine; its callers read files with the engine's fan
# file reader. Included from engine/CMakeLists.txt (and, when the engine's
# build file does not include it, from its users).
if(TARGET spindra_render)
  return()
endif()
add_library(spindra_render STATIC ${CMAKE_CURRENT_LIST_DIR}/fan_render.c)
target_include_directories(spindra_render PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(spindra_render PRIVATE -ffp-contract=off)
target_link_libraries(spindra_render PUBLIC m)
set_target_properties(spindra_render PROPERTIES POSITION_INDEPENDENT_CODE ON AUTOMOC OFF)
