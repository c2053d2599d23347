#pragma once

namespace velda {

// Box and log texts of the staged update: running out of room, and ending the product first.
inline constexpr char kNoDiskRoomBox[] =
    "No hay espacio suficiente en el disco para actualizar Velda.";
inline constexpr char kAskingProductsLine[] =
    "Pidiendo a Velda.exe que se cierre antes de actualizar...";
inline constexpr char kPostponedUpdateLine[] =
    "Velda.exe sigue abierto con una ventana; la actualizacion queda para el proximo inicio.";

}  // namespace velda
