# ParamTable::find against a linear scan of the same table.
if(benchmark_FOUND)
  add_executable(params_find_bench ${CMAKE_CURRENT_LIST_DIR}/params_find.cpp)
  target_link_libraries(params_find_bench PRIVATE params benchmark::benchmark)
endif()
