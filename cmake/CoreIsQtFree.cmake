# The core library must stay free of Qt: nothing of Qt may reach its link line, and since Qt's
# headers are only on the include path of targets that link Qt, an #include of Qt in the core
# fails to compile.
foreach(prop LINK_LIBRARIES INTERFACE_LINK_LIBRARIES INCLUDE_DIRECTORIES)
  get_target_property(values kestrine_core ${prop})
  if(values AND "${values}" MATCHES "Qt[0-9]*::|qt6")
    message(FATAL_ERROR "kestrine_core must not depend on Qt (${prop}: ${values})")
  endif()
endforeach()
