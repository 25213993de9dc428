# The USB server against plain and TLS relays moving the same messages, all
# in-process over loopback in a private network namespace (needs root).
if(benchmark_FOUND)
  add_executable(usb_bench
    ${CMAKE_CURRENT_LIST_DIR}/usb_bench_main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/usb_bench_env.cpp
    ${CMAKE_CURRENT_LIST_DIR}/usb_bench_probe.cpp
    ${CMAKE_CURRENT_LIST_DIR}/usb_bench_relay.cpp
    ${CMAKE_CURRENT_LIST_DIR}/usb_bench_server.cpp)
  target_include_directories(usb_bench PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(usb_bench PRIVATE sim usbserver params core usbclient benchmark::benchmark)
endif()
