// placeholder until the unit lands
namespace zamo::emu {}
