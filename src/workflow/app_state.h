#pragma once
namespace vidorel {
enum class AppState { idle, recording, paused, reviewing };
}
