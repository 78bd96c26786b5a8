# Fails when the application core links a GUI module or the X11 layers (the closure of its link
# libraries is written at configure time).
file(STRINGS "${LINKS_FILE}" links)
set(forbidden "")
foreach(l ${links})
  if(l MATCHES "^Qt6::(Gui|Qml|Quick|QuickControls2|Widgets)$" OR l STREQUAL "desktop_x11" OR l MATCHES "^X11::")
    list(APPEND forbidden ${l})
  endif()
endforeach()
if(forbidden)
  message(FATAL_ERROR "sablix_core links GUI or X11 libraries: ${forbidden}")
endif()
