# The strict sFlow decoder as a library of its own, shared by the tests and the fuzzers:
# include() this file from each; the target is declared once.
if(NOT TARGET wendrel_sflow_decoder)
  add_library(wendrel_sflow_decoder STATIC ${CMAKE_CURRENT_LIST_DIR}/sflow_decoder.cpp)
  target_include_directories(wendrel_sflow_decoder PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  wendrel_warnings(wendrel_sflow_decoder)
endif()
