/* Loaded into the Linux launcher by scripts/bench-frame (LD_PRELOAD): notes, in milliseconds since
 * FIRST_FRAME_T0 (seconds since the epoch, taken just before the launcher was started), when GLFW is set
 * up (the launcher's own start-up is done by then), when the window is asked for, when it is shown and when
 * the first frame has been presented; then it closes the window the way its close button does. The notes
 * go to standard error as "first-frame-probe NAME MS". */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef struct GLFWwindow GLFWwindow;
typedef struct GLFWmonitor GLFWmonitor;

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void Note(const char* name) {
    const char* t0 = getenv("FIRST_FRAME_T0");
    if (t0 == NULL) return;
    fprintf(stderr, "first-frame-probe %s %.1f\n", name, (Now() - strtod(t0, NULL)) * 1000.0);
}

static void* Real(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (f == NULL) {
        fprintf(stderr, "first-frame-probe: no %s\n", name);
        abort();
    }
    return f;
}

int glfwInit(void) {
    int (*real)(void) = (int (*)(void))Real("glfwInit");
    Note("glfw-init");
    return real();
}

GLFWwindow* glfwCreateWindow(int width, int height, const char* title, GLFWmonitor* monitor, GLFWwindow* share) {
    GLFWwindow* (*real)(int, int, const char*, GLFWmonitor*, GLFWwindow*) =
        (GLFWwindow * (*)(int, int, const char*, GLFWmonitor*, GLFWwindow*)) Real("glfwCreateWindow");
    Note("create-window");
    return real(width, height, title, monitor, share);
}

void glfwShowWindow(GLFWwindow* window) {
    void (*real)(GLFWwindow*) = (void (*)(GLFWwindow*))Real("glfwShowWindow");
    real(window);
    Note("window-shown");
}

void glfwSwapBuffers(GLFWwindow* window) {
    static int frames = 0;
    void (*real)(GLFWwindow*) = (void (*)(GLFWwindow*))Real("glfwSwapBuffers");
    real(window);
    if (frames++ == 0) {
        Note("first-frame");
        void (*close)(GLFWwindow*, int) = (void (*)(GLFWwindow*, int))Real("glfwSetWindowShouldClose");
        close(window, 1);
    }
}
