#pragma once

namespace velda {

// Box and log texts of the staged update: running out of room, and ending the product first.
inline constexpr char kNoDiskRoomBox[] =
    "No hay espacio suficiente en el disco para actualizar Velda.";
inline constexpr char kAskingProductsLine[] =
    "Pidiendo a Velda.exe que se cierre antes de actualizar...";
inline constexpr char kPostponedUpdateLine[] =
    "Velda.exe sigue abierto con una ventana; la actualizacion queda para el proximo inicio.";
// A commit that the launcher could neither finish nor undo; the next run's first step goes on.
inline constexpr char kCommitStuckBox[] =
    "No se pudo terminar la actualizacion de Velda; se completara en el proximo inicio.";

// What the first step of a run found of an update that an earlier run left cut off.
inline constexpr char kCutUpdateFinishedLine[] =
    "Actualizacion interrumpida completada: la instalacion queda en la version nueva.";
inline constexpr char kCutUpdateUndoneLine[] =
    "Actualizacion interrumpida deshecha: la instalacion queda en la version anterior.";
inline constexpr char kCutUpdateFailedBox[] =
    "No se pudo terminar una actualizacion anterior de Velda.";

}  // namespace velda
