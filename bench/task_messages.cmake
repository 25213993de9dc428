# Message round trip between two tasks, next to a plain pipe ping-pong
# between two threads measured in the same run.
if(benchmark_FOUND)
  add_executable(task_messages_bench ${CMAKE_CURRENT_LIST_DIR}/task_messages_bench.cpp)
  target_include_directories(task_messages_bench PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(task_messages_bench PRIVATE core benchmark::benchmark)
endif()
