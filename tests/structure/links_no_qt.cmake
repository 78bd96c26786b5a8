# Fails when a library that must stay free of Qt links any Qt module (the closure of its link
# libraries is written at configure time).
file(STRINGS "${LINKS_FILE}" links)
set(forbidden "")
foreach(l ${links})
  if(l MATCHES "^Qt6?::" OR l MATCHES "^QCoro")
    list(APPEND forbidden ${l})
  endif()
endforeach()
if(forbidden)
  message(FATAL_ERROR "${LIBRARY} links Qt: ${forbidden}")
endif()
